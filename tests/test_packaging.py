"""What a user installs: the typed stub against the module, and the wheel itself
(tag, contents, stable-ABI use, exported symbols, type checking from an installed copy)."""
import fcntl
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import zun_protocol as zp

REPO = pathlib.Path(__file__).resolve().parents[1]
STUB = REPO / "src" / "python" / "zun_protocol.pyi"
TYPED_USAGE = REPO / "tests" / "typed_usage.py"
MODULE_DIR = pathlib.Path(zp.__file__).resolve().parent
PLATFORM_TAG = sysconfig.get_platform().replace("-", "_").replace(".", "_")


def run(args, cwd, **env):
    """Run a tool, failing the test with its output when it exits non-zero."""
    environment = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    environment.update(env)
    done = subprocess.run(args, cwd=cwd, env=environment, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, args))} exited {done.returncode}:\n{done.stdout}{done.stderr}")
    return done


def mypy_strict(cwd, **env):
    return run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cwd / ".mypy_cache"),
                str(TYPED_USAGE)], cwd, **env)


def run_typed_usage(cwd, module_dir):
    run([sys.executable, "-X", "dev", "-W", "error", str(TYPED_USAGE)], cwd, PYTHONPATH=str(module_dir))


def test_stub_matches_the_module(tmp_path):
    run([sys.executable, "-m", "mypy.stubtest", "zun_protocol"], tmp_path,
        PYTHONPATH=str(MODULE_DIR), MYPYPATH=str(STUB.parent))


def test_typed_usage_checks_and_runs(tmp_path):
    mypy_strict(tmp_path, MYPYPATH=str(STUB.parent))
    run_typed_usage(tmp_path, MODULE_DIR)


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    """The wheel, built once per session in the build directory pyproject.toml names, so
    that it compiles only what changed since `pip install .`. Concurrent sessions take
    turns, as they share that directory."""
    out = tmp_path_factory.mktemp("wheel")
    (REPO / "build").mkdir(exist_ok=True)
    with open(REPO / "build" / ".wheel-lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
             "--disable-pip-version-check", "-q", "-w", str(out), str(REPO)], REPO)
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="session")
def unpacked(wheel, tmp_path_factory):
    """The wheel's files as pip would lay them out in site-packages."""
    site = tmp_path_factory.mktemp("site-packages")
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(site)
    return site


def test_wheel_is_one_abi3_build_for_310_and_later(wheel):
    assert wheel.name == f"zun_protocol-{zp.__version__}-cp310-abi3-{PLATFORM_TAG}.whl"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = archive.read(f"zun_protocol-{zp.__version__}.dist-info/WHEEL").decode()
        stubs = {archive.read(name) for name in ("zun_protocol.pyi", "zun_protocol-stubs/__init__.pyi")}
    assert {"zun_protocol.abi3.so", "zun_protocol.pyi", "zun_protocol-stubs/__init__.pyi"} <= names
    assert f"Tag: cp310-abi3-{PLATFORM_TAG}" in metadata.splitlines()
    assert "Root-Is-Purelib: false" in metadata.splitlines()
    assert stubs == {STUB.read_bytes()}


def test_wheel_passes_abi3audit(wheel, tmp_path):
    done = run([sys.executable, "-m", "abi3audit", "--strict", "--report", str(wheel)], tmp_path)
    (report,) = json.loads(done.stdout)["specs"].values()
    (extension,) = report["wheel"]
    assert extension["name"] == "zun_protocol.abi3.so"
    result = extension["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"]
    assert (result["baseline"], result["computed"], result["non_abi3_symbols"]) == ("3.10", "3.10", [])


def test_module_exports_only_its_init_function(unpacked):
    done = run(["nm", "-D", "--defined-only", str(unpacked / "zun_protocol.abi3.so")], unpacked)
    exported = [line.split()[-1] for line in done.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_zun_protocol"]


def test_installed_wheel_is_typed_and_runs(unpacked, tmp_path):
    # mypy finds the stub through the installed files alone: no MYPYPATH, and the
    # repository's copy is out of reach from tmp_path.
    mypy_strict(tmp_path, PYTHONPATH=str(unpacked))
    run_typed_usage(tmp_path, unpacked)
