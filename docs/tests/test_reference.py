"""The built reference holds every public name of the module and every public member of its
classes, as the site's objects.inv lists them. A class added to the module but not to the
reference fails here."""
import pathlib
import posixpath

import pytest

import zun_protocol

INVENTORY = pathlib.Path(__file__).resolve().parents[1] / "_build" / "html" / "objects.inv"


@pytest.fixture(scope="module")
def documented():
    from sphinx.util.inventory import InventoryFile

    if not INVENTORY.exists():
        pytest.fail(f"{INVENTORY} is missing: build the site first (scripts/docs.sh)")
    with INVENTORY.open("rb") as stream:
        inventory = InventoryFile.load(stream, "", posixpath.join)
    return {name for role, entries in inventory.items() if role.startswith("py:") for name in entries}


def public_names():
    names = {name for name in dir(zun_protocol) if not name.startswith("_")} | set(zun_protocol.__all__)
    names.discard("__version__")  # a constant, stated on the reference's index page
    for name in sorted(names):
        yield f"zun_protocol.{name}"
        value = getattr(zun_protocol, name)
        if isinstance(value, type):
            yield from (f"zun_protocol.{name}.{member}" for member in vars(value) if not member.startswith("_"))


def test_every_public_name_is_in_the_reference(documented):
    missing = [name for name in public_names() if name not in documented]
    assert not missing, f"not in the reference: {missing}"
