"""Shared fixtures: a sanitizer build of the native core and its test programs."""

import fcntl
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[1]


def _sanitizer_env():
    """Environment for the sanitizer-built programs: leaks, memory errors and
    undefined behaviour all make the program exit non-zero."""
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    return env


@pytest.fixture(scope="session")
def native(core_build):
    """Runs one of the native test programs under the sanitizers:
    native("record_probe", *args, stdin=text, user=None) -> CompletedProcess (text).
    With `user`, the program runs as that user (the caller must be root)."""
    def run(program, *args, stdin=None, user=None):
        as_user = ["runuser", "-u", user, "--"] if user else []
        return subprocess.run(
            [*as_user, str(core_build / program), *args], input=stdin, capture_output=True,
            encoding="utf-8", errors="replace", env=_sanitizer_env(), timeout=900,
        )
    return run


@pytest.fixture(scope="session")
def core_build():
    """The CMake build directory of the core library and every
    tests/core/*.cpp program (one executable each), built once per session
    with AddressSanitizer and UndefinedBehaviorSanitizer."""
    build = REPO / "build" / "core-tests"
    build.mkdir(parents=True, exist_ok=True)
    # Several pytest sessions may share the directory; one builds at a time.
    with open(build / ".build-lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        _configure_and_build(build)
    return build


def _configure_and_build(build):
    subprocess.run(
        [
            "cmake", "-S", str(REPO), "-B", str(build),
            "-DZUN_PYTHON_MODULE=OFF", "-DZUN_CORE_TESTS=ON", "-DZUN_SANITIZE=ON",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        ],
        check=True, capture_output=True,
    )
    done = subprocess.run(
        ["cmake", "--build", str(build), "-j2"], capture_output=True, text=True,
    )
    if done.returncode != 0:
        pytest.fail("core build failed:\n" + done.stdout[-8000:] + done.stderr[-8000:])
