"""The spill queue's storage procedures on a real file system, run as the
native program's check groups, plus its path filter and the shown form of
byte paths compared with Python oracles."""

import os
import pathlib
import random
import re
import shutil
import tempfile

import pytest

PROGRAM = "test_queue_store"
GROUPS = [
    "paths",
    "default_dir",
    "spill",
    "spill_refusals",
    "enumerate",
    "enumerate_bad_items",
    "enumerate_large",
    "remove",
    "error_texts",
]
# Needs file permissions to be enforced, which they are not for root.
PERMISSION_GROUP = "permissions"


def run_program(native, *args, stdin=None):
    return native(PROGRAM, *args, stdin=stdin)


@pytest.mark.parametrize("group", GROUPS)
def test_group(native, tmp_path, group):
    result = run_program(native, group, str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"ok {group}\n"


def test_permission_failures(native, tmp_path):
    # Root is never refused, so as root the checks run as an unprivileged
    # user, in a directory of its own that it can reach.
    user, scratch = None, tmp_path
    if os.geteuid() == 0:
        if shutil.which("runuser") is None:
            pytest.skip("running as root without runuser: permission failures cannot be provoked")
        user, scratch = "nobody", pathlib.Path(tempfile.mkdtemp(prefix="zun-permissions-"))
        shutil.chown(scratch, user=user)
    try:
        result = native(PROGRAM, PERMISSION_GROUP, str(scratch), user=user)
    finally:
        # Leave the scratch tree removable even when a check failed midway.
        for path, dirs, _ in os.walk(scratch):
            for name in dirs:
                os.chmod(os.path.join(path, name), 0o755)
        if scratch != tmp_path:
            shutil.rmtree(scratch)
    assert result.returncode == 0, result.stderr


def test_every_group_is_run(native):
    result = run_program(native)
    assert result.returncode == 2
    listed = result.stderr.split("groups:")[1].split()
    assert sorted(listed) == sorted(GROUPS + [PERMISSION_GROUP])


def probe(native, commands):
    result = run_program(native, "probe", stdin="".join(c + "\n" for c in commands))
    assert result.returncode == 0, result.stderr
    answers = result.stdout.splitlines()
    assert len(answers) == len(commands)
    return [bytes.fromhex(answer) for answer in answers]


def as_arg(data: bytes) -> str:
    return data.hex() or "-"


def random_bytes(rng, alphabet):
    return bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 12)))


def test_shown_path_replaces_invalid_utf8_like_python(native):
    rng = random.Random(4242)
    interesting = [0x00, 0x2F, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                   0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    paths = [random_bytes(rng, interesting) for _ in range(3000)]
    paths += ["/home/ü/日本/😀".encode(), b""]
    for path, shown in zip(paths, probe(native, [f"lossy {as_arg(p)}" for p in paths])):
        assert shown == path.decode("utf-8", "replace").encode(), path


def test_item_path_filter_matches_oracle(native):
    rng = random.Random(7)
    alphabet = list(range(256))
    cases = [(b"/q", random_bytes(rng, alphabet)) for _ in range(1000)]
    cases += [(b"", b"a/../b c"), (b"q/", b"..\x00/x"), (b"/", "é-日_9".encode())]
    answers = probe(native, [f"item_path {as_arg(d)} {as_arg(i)}" for d, i in cases])
    for (directory, queue_id), path in zip(cases, answers):
        name = re.sub(rb"[^0-9A-Za-z_-]", b"", queue_id) + b".json"
        joined = directory + (b"/" if directory and not directory.endswith(b"/") else b"") + name
        assert path == joined, (directory, queue_id)
        assert b"/" not in name
