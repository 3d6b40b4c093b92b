"""What a user installs: the typed stub against the module, and the wheel itself
(tag, contents, stable-ABI use, exported symbols, type checking from an installed copy), and the
distributable wheels for each architecture (their glibc floor, what they read at run time)."""
import fcntl
import functools
import json
import os
import pathlib
import platform
import re
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
# The distributable wheels: this machine's architecture runs here, the other is cross-built.
TARGETS = ["x86_64", "aarch64"]
HOST = platform.machine()
GLIBC_FLOOR = (2, 28)


def run(args, cwd, timeout=600, **env):
    """Run a tool, failing the test with its output when it exits non-zero."""
    environment = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    environment.update(env)
    done = subprocess.run(args, cwd=cwd, env=environment, capture_output=True, text=True, timeout=timeout)
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
        entry_points = archive.read(f"zun_protocol-{zp.__version__}.dist-info/entry_points.txt").decode()
    assert {"zun_protocol.abi3.so", "zun_protocol.pyi", "zun_protocol-stubs/__init__.pyi"} <= names
    # The command line travels in the same wheel, every command with it.
    command_line = REPO / "src" / "zun_protocol_cli"
    assert {str(p.relative_to(command_line.parent)) for p in command_line.rglob("*.py")} <= names
    assert "zun-protocol = zun_protocol_cli:main" in entry_points.splitlines()
    assert f"Tag: cp310-abi3-{PLATFORM_TAG}" in metadata.splitlines()
    assert "Root-Is-Purelib: false" in metadata.splitlines()
    assert stubs == {STUB.read_bytes()}


@functools.cache
def dist_wheel(target):
    """The distributable wheel of scripts/build-wheel.sh for one architecture, rebuilt in the
    directory it keeps, so that it compiles only what changed (the script takes turns with
    other builds itself, so its time includes theirs: a cold one builds the static libraries
    first)."""
    done = run([str(REPO / "scripts" / "build-wheel.sh"), "--target", target], REPO, timeout=1800)
    return REPO / done.stdout.split()[-1]


@pytest.fixture(params=["source build", *TARGETS])
def each_wheel(request):
    return request.getfixturevalue("wheel") if request.param == "source build" else dist_wheel(request.param)


def extract_module(wheel, directory):
    with zipfile.ZipFile(wheel) as archive:
        return pathlib.Path(archive.extract("zun_protocol.abi3.so", directory))


def test_wheel_passes_abi3audit(each_wheel, tmp_path):
    done = run([sys.executable, "-m", "abi3audit", "--strict", "--report", str(each_wheel)], tmp_path)
    (report,) = json.loads(done.stdout)["specs"].values()
    (extension,) = report["wheel"]
    assert extension["name"] == "zun_protocol.abi3.so"
    result = extension["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"]
    assert (result["baseline"], result["computed"], result["non_abi3_symbols"]) == ("3.10", "3.10", [])


def test_module_exports_only_its_init_function(each_wheel, tmp_path):
    done = run(["nm", "-D", "--defined-only", str(extract_module(each_wheel, tmp_path))], tmp_path)
    exported = [line.split()[-1] for line in done.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_zun_protocol"]


def test_installed_wheel_is_typed_and_runs(unpacked, tmp_path):
    # mypy finds the stub through the installed files alone: no MYPYPATH, and the
    # repository's copy is out of reach from tmp_path.
    mypy_strict(tmp_path, PYTHONPATH=str(unpacked))
    run_typed_usage(tmp_path, unpacked)


# Runs the quickstart and verifies a committed time-stamp token (the TS, CMS and X.509
# parts of libcrypto, linked in), then lists the mapped files named like either library. The
# interpreter's own hashlib would map the system's libcrypto; blocked, it uses its
# built-in SHA-256 instead, so that whatever remains was loaded for the module.
QUICKSTART_AND_MAPS = """
import json, pathlib, runpy, sys
sys.modules["_hashlib"] = None
import hashlib
runpy.run_path(sys.argv[1], run_name="__main__")
import zun_protocol
data = pathlib.Path(sys.argv[2])
token = zun_protocol.TimestampToken.from_der((data / "response.tsr").read_bytes())
token.verify(hashlib.sha256(b"batch").digest(), roots=(data / "root.pem").read_bytes(), signer_common_name="Fixed TSA")
# RIPEMD-160 from the wheel's own libcrypto: hashlib, without _hashlib, has none to lend.
ots = data.parent / "ots"
headers = {int(h): bytes.fromhex(raw) for h, raw in json.loads((ots / "ripemd160-headers.json").read_text()).items()}
assert zun_protocol.OtsProof.from_bytes((ots / "ripemd160.ots").read_bytes()).verify(headers, chain="regtest")[0] == 100
with open("/proc/self/maps") as maps:
    mapped = {line.split()[-1] for line in maps if "/" in line}
print(json.dumps({"module": zun_protocol.__file__,
                  "libraries": sorted(m for m in mapped if "libsodium" in m or "libcrypto" in m)}))
"""


@pytest.mark.parametrize("target", TARGETS)
def test_dist_wheel_is_manylinux_and_licensed(target):
    wheel = dist_wheel(target)
    assert wheel.name.startswith(f"zun_protocol-{zp.__version__}-cp310-abi3-manylinux_")
    assert wheel.name.endswith(f"_{target}.whl")
    dist_info = f"zun_protocol-{zp.__version__}.dist-info"
    # Its own licence, and the notices of the two libraries linked into it.
    files = ["LICENSE", "licenses/OpenSSL-Apache-2.0.txt", "licenses/libsodium-ISC.txt"]
    with zipfile.ZipFile(wheel) as archive:
        metadata = archive.read(f"{dist_info}/METADATA").decode().splitlines()
        carried = {name: archive.read(f"{dist_info}/licenses/{name}") for name in files}
    assert "License-Expression: Apache-2.0" in metadata
    assert {line for line in metadata if line.startswith("License-File: ")} == {f"License-File: {n}" for n in files}
    assert carried == {name: (REPO / name).read_bytes() for name in files}


@pytest.mark.parametrize("target", TARGETS)
def test_dist_wheel_carries_the_openssl_its_notice_names(target, tmp_path):
    # libcrypto's core keeps its version as a string of its own: a pin bumped without its
    # notice in licenses/ (or the reverse) would ship a notice for another release.
    binary = extract_module(dist_wheel(target), tmp_path).read_bytes()
    notice = (REPO / "licenses" / "OpenSSL-Apache-2.0.txt").read_text()
    named = re.match(r"OpenSSL (3\.\d+\.\d+) libcrypto", notice)
    assert named is not None
    assert set(re.findall(rb"\x00(3\.\d+\.\d+)\x00", binary)) == {named.group(1).encode()}


@pytest.mark.parametrize("target", TARGETS)
def test_dist_wheel_needs_nothing_newer_than_its_glibc_floor(target, tmp_path):
    module = extract_module(dist_wheel(target), tmp_path)
    dynamic = run(["readelf", "--dynamic", "--wide", str(module)], tmp_path).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic))
    assert needed and needed <= {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                                 "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
    imports, weak = {}, set()
    for line in run(["readelf", "--dyn-syms", "--wide", str(module)], tmp_path).stdout.splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND" and fields[4] in ("GLOBAL", "WEAK"):
            name, _, version = fields[7].partition("@")
            imports[name] = version
            if fields[4] == "WEAK":
                weak.add(name)
    # Unversioned, a C library symbol binds to whatever the running glibc has, and the import
    # fails where it has none (strerrordesc_np and gettid came with 2.32 and 2.30). Only the
    # interpreter's own symbols come unversioned, and weak ones, which may stay unbound.
    unversioned = [name for name, version in imports.items() if not version and name not in weak]
    assert [name for name in unversioned if not name.startswith(("Py", "_Py"))] == []
    # A weak import's version is needed all the same: the loader refuses a glibc without it.
    versioned = {name: version for name, version in imports.items() if version}
    # glibc's versions alone: a GLIBCXX_ or CXXABI_ one would need the system's libstdc++.
    assert versioned and {version.partition("_")[0] for version in versioned.values()} == {"GLIBC"}
    newer = {name: version for name, version in versioned.items()
             if tuple(map(int, version.removeprefix("GLIBC_").split("."))) > GLIBC_FLOOR}
    assert newer == {}


@pytest.mark.parametrize("target", TARGETS)
def test_dist_wheel_holds_no_path_of_the_build_machine(target, tmp_path):
    # Such a path baked in as the configuration, module or engine directory would be read by
    # the module on a user's machine, where anyone may own it.
    binary = extract_module(dist_wheel(target), tmp_path).read_bytes()
    cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
    for place in (REPO, pathlib.Path.home(), cache):
        assert str(place).encode() not in binary


@pytest.mark.parametrize("version", ["3.10", "3.13"])
def test_dist_wheel_runs_without_the_system_libraries(version, tmp_path):
    python = run([str(REPO / "scripts" / "python-for.sh"), version], REPO).stdout.strip()
    venv = tmp_path / "venv"
    run([python, "-m", "venv", str(venv)], tmp_path)
    run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         "--disable-pip-version-check", str(dist_wheel(HOST))], tmp_path)
    # Were libcrypto to read a configuration file or load a provider module or an engine, it
    # would look where these point first: the module must never look there.
    openssl = tmp_path / "openssl"
    trace = tmp_path / "trace"
    done = run(["strace", "-f", "-qq", "-e", "trace=%file", "-e", "signal=none", "-o", str(trace),
                str(venv / "bin" / "python"), "-X", "dev", "-c", QUICKSTART_AND_MAPS,
                str(REPO / "examples" / "quickstart.py"), str(REPO / "tests" / "data" / "timestamp")], tmp_path,
               OPENSSL_CONF=str(openssl / "openssl.cnf"), OPENSSL_MODULES=str(openssl / "modules"),
               OPENSSL_ENGINES=str(openssl / "engines"))
    report = json.loads(done.stdout.splitlines()[-1])
    assert pathlib.Path(report["module"]).is_relative_to(venv)
    # Linked in statically: no copy of either library is mapped, the system's least of all.
    assert report["libraries"] == []
    looked_up = re.findall(r'"(/[^"]*)"', trace.read_text())
    assert any(path.endswith("zun_protocol.abi3.so") for path in looked_up)
    assert [path for path in looked_up if path.startswith(str(openssl))] == []


@pytest.mark.parametrize("hide, env, missing", [
    ([], {"PKG_CONFIG_LIBDIR": "/nonexistent"}, "libsodium"),
    (["-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON"], {}, "OpenSSL 3"),
])
def test_missing_library_names_the_packages(hide, env, missing, tmp_path):
    done = subprocess.run(["cmake", "-S", str(REPO), "-B", str(tmp_path), "-DZUN_PYTHON_MODULE=OFF", *hide],
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=300)
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert f"{missing} " in message and "was not found" in message
    for packages in ("libsodium-dev libssl-dev", "libsodium-devel openssl-devel", "libsodium openssl@3"):
        assert packages in message


def test_release_configuration_is_one_abi3_build_per_libc_and_architecture(tmp_path):
    # cibuildwheel needs containers to build; what it would build it tells without them.
    done = run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", "linux",
                str(REPO)], tmp_path)
    assert sorted(done.stdout.split()) == ["cp310-manylinux_aarch64", "cp310-manylinux_x86_64",
                                           "cp310-musllinux_aarch64", "cp310-musllinux_x86_64"]
