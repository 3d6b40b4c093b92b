"""The module as the interpreter sees it: publication, caching, class rules, binder texts."""
import collections.abc
import importlib
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import zun_protocol as zp

ALL = [
    "__version__", "ProtocolAddress", "CounterpartyInfo", "SignedEnvelope", "AttestationChain",
    "PeerIdentityDescriptor", "SoftwareIdentity", "AnchorReceipt", "AnchorProof", "MockAnchor",
    "EnvelopeQueue", "QueuedItem", "classify_exchange",
    "merkle_leaf_hash", "MerkleTree", "InclusionProof", "ConsistencyProof",
    "TimestampRequest", "TimestampToken", "TsaAnchor",
    "OtsProof", "OtsRequest", "OtsAnchor",
]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
CLASSES = [getattr(zp, name) for name in ALL if isinstance(getattr(zp, name), type)]
FUNCTIONS = {"classify_exchange": "(protocol_hint, counterparty)", "merkle_leaf_hash": "(data)"}
WITHOUT_CONSTRUCTOR = ["SignedEnvelope", "PeerIdentityDescriptor", "SoftwareIdentity", "AnchorReceipt",
                       "AnchorProof", "QueuedItem", "TimestampToken", "OtsProof", "OtsRequest"]


def test_published_names_in_order():
    assert zp.__all__ == ALL
    assert zp.__version__ == "0.1.0"
    assert zp.__doc__ == ""
    module_attrs = [k for k in vars(zp) if not k.startswith("__") or k == "__version__"]
    assert module_attrs == zp.__all__


def test_reimport_returns_same_module():
    first = sys.modules["zun_protocol"]
    del sys.modules["zun_protocol"]
    again = importlib.import_module("zun_protocol")
    assert again is first
    assert importlib.import_module("zun_protocol") is first


def test_second_subinterpreter_refused():
    code = textwrap.dedent("""
        import _testcapi, zun_protocol
        rc = _testcapi.run_in_subinterp("import zun_protocol")
        print(rc)
    """)
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("interpreter built without _testcapi")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "-1"
    # A free-threaded interpreter refuses a module of single-phase init in a sub-interpreter
    # itself, before the module is asked: "does not support loading in subinterpreters".
    assert "sub-interpreters" in out.stderr or FREE_THREADED and "in subinterpreters" in out.stderr


@pytest.mark.skipif(not FREE_THREADED, reason="an interpreter with the lock")
def test_the_lock_stays_off_after_import():
    # Without PYTHON_GIL, importing a module that does not say it runs without the lock
    # turns the lock on, with a RuntimeWarning, which -W error makes fatal.
    environment = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c",
                          "import sys, zun_protocol; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, env=environment)
    assert (out.returncode, out.stdout.strip()) == (0, "False"), out.stderr


@pytest.mark.parametrize("main_first", [False, True], ids=["sub-interpreter first", "main first"])
def test_sub_interpreters_are_refused_and_leave_the_main_interpreter_free(main_first):
    pytest.importorskip("_testcapi")
    # Each run_in_subinterp makes an interpreter and ends it: two of them, one after the other.
    code = textwrap.dedent("""
        import _testcapi, sys
        SUB = "try:\\n import zun_protocol\\nexcept ImportError as e:\\n print(e, flush=True)\\n"
        if sys.argv[1] == "True":
            import zun_protocol
        assert _testcapi.run_in_subinterp(SUB) == 0 and _testcapi.run_in_subinterp(SUB) == 0
        import zun_protocol
        print(zun_protocol.ProtocolAddress.parse("kiv://body/peer/ab12").ref)
    """)
    done = subprocess.run([sys.executable, "-X", "dev", "-c", code, str(main_first)], capture_output=True, text=True,
                          timeout=60)
    refusal = "zun_protocol does not support sub-interpreters: import it in the main interpreter\n"
    if FREE_THREADED:  # refused by the interpreter itself, before the module is asked (see above)
        refusal = "module zun_protocol does not support loading in subinterpreters\n"
    assert (done.returncode, done.stdout, done.stderr) == (0, refusal * 2 + "ab12\n", "")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_object_rules(cls):
    assert cls.__module__ == "zun_protocol"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)
    cls.some_class_attribute = 1  # class objects are ordinary heap types
    del cls.some_class_attribute


@pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError) as info:
        getattr(zp, name)()
    assert f"zun_protocol.{name}" in str(info.value)


def test_unhashable_value_classes():
    envelope = zp.SignedEnvelope.from_json(
        '{"exchange_id":"e","peer_self":["body","peer","p"],"direction":"inbound","request_hash":"h",'
        '"our_signature":"s","opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"c"}')
    for value in (envelope, zp.CounterpartyInfo("a", "b"), zp.AttestationChain(), zp.InclusionProof(0, 1, [])):
        with pytest.raises(TypeError, match="unhashable"):
            hash(value)
    for cls, args in ((zp.MockAnchor, ("a",)), (zp.MerkleTree, ())):  # identity classes hash by identity
        assert len({cls(*args), cls(*args)}) == 2


def test_panic_exception_not_published():
    assert "PanicException" not in vars(zp)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_of_the_module(name):
    f = getattr(zp, name)
    assert f.__module__ == "zun_protocol"
    assert f.__self__ is zp
    assert f.__text_signature__ == FUNCTIONS[name]


# ---- the binder's TypeError texts -------------------------------------------------------------

def _type_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: zp.ProtocolAddress.parse("a", "b"),
     "ProtocolAddress.parse() takes 1 positional arguments but 2 were given"),
    (lambda: zp.ProtocolAddress("a", "b", "c", "d"),
     "ProtocolAddress.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: zp.ProtocolAddress.parse(url="x"),
     "ProtocolAddress.parse() got an unexpected keyword argument 'url'"),
    (lambda: zp.ProtocolAddress.parse("x", uri="x"),
     "ProtocolAddress.parse() got multiple values for argument 'uri'"),
    (lambda: zp.ProtocolAddress("body", "t", address_class="body"),
     "ProtocolAddress.__new__() got multiple values for argument 'address_class'"),
    (lambda: zp.ProtocolAddress.parse(),
     "ProtocolAddress.parse() missing 1 required positional argument: 'uri'"),
    (lambda: zp.ProtocolAddress("body"),
     "ProtocolAddress.__new__() missing 2 required positional arguments: 'type_' and 'ref_'"),
    (lambda: zp.ProtocolAddress(),
     "ProtocolAddress.__new__() missing 3 required positional arguments: "
     "'address_class', 'type_' and 'ref_'"),
    (lambda: zp.ProtocolAddress(ref_="r"),
     "ProtocolAddress.__new__() missing 2 required positional arguments: 'address_class' and 'type_'"),
    (lambda: zp.classify_exchange("dns"),
     "classify_exchange() missing 1 required positional argument: 'counterparty'"),
    (lambda: zp.classify_exchange("a", "b", "c"),
     "classify_exchange() takes 2 positional arguments but 3 were given"),
])
def test_binding_messages(call, message):
    assert _type_error(call) == message


@pytest.mark.parametrize("call, message", [
    (lambda: zp.ProtocolAddress.parse(5), "argument 'uri': 'int' object cannot be cast as 'str'"),
    (lambda: zp.ProtocolAddress.parse(b"kiv://body/a/b"), "argument 'uri': 'bytes' object cannot be cast as 'str'"),
    (lambda: zp.ProtocolAddress.parse(None), "argument 'uri': 'NoneType' object cannot be cast as 'str'"),
    (lambda: zp.ProtocolAddress(1, 2, 3), "argument 'address_class': 'int' object cannot be cast as 'str'"),
    (lambda: zp.ProtocolAddress("Nope", 2, 3), "argument 'type_': 'int' object cannot be cast as 'str'"),
    (lambda: zp.ProtocolAddress("body", "t", 3.5), "argument 'ref_': 'float' object cannot be cast as 'str'"),
    (lambda: zp.classify_exchange("dns", None), "argument 'counterparty': 'NoneType' object cannot be cast as 'str'"),
])
def test_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_conversion_error_keeps_the_cause_of_the_first_error():
    class Items(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return "x"

        def __iter__(self):
            raise TypeError("no items") from LookupError("underneath")

    with pytest.raises(TypeError) as info:
        zp.AttestationChain(certs_b64=Items())
    assert str(info.value) == "argument 'certs_b64': no items"
    assert type(info.value.__cause__) is LookupError and info.value.__cause__.args == ("underneath",)


def test_conversion_runs_before_class_lookup():
    # The bad class name is only looked at once every argument converted.
    assert _type_error(zp.ProtocolAddress, "Nope", "t", 3) == \
        "argument 'ref_': 'int' object cannot be cast as 'str'"


def test_lone_surrogate_passes_unicode_error_unwrapped():
    with pytest.raises(UnicodeEncodeError):
        zp.ProtocolAddress.parse("kiv://body/a/\ud800")


def test_str_subclass_accepted():
    class S(str):
        pass
    assert zp.ProtocolAddress.parse(S("kiv://body/a/b")).ref == "b"


def test_methods_without_parameters_refuse_arguments():
    a = zp.ProtocolAddress("body", "t", "r")
    with pytest.raises(TypeError):
        a.to_uri(1)
    with pytest.raises(TypeError):
        a.to_dict(x=1)
