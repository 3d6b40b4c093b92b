// ProtocolAddress: the one hashable value class.
#include <string>

#include "core/protocol/address.hpp"
#include "core/protocol/names.hpp"
#include "python/address_py.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/ft.hpp"
#include "python/pickling.hpp"

namespace zun::py {
namespace {

// The content hash is computed on first use and kept: hashing an address
// then costs no more than hashing a tuple of its three strings, whose
// hashes Python caches too. Threads that hash one address at once all
// compute the same value, so whichever store lands is right.
struct Self {
    ProtocolAddress address;
    Kept<Py_hash_t> hash{-1};  // -1: not computed yet (never a content hash)
    friend bool operator==(const Self& a, const Self& b) { return a.address == b.address; }
};

const ProtocolAddress& address_of(PyObject* self) { return value_of<Self>(self).address; }

constexpr Param kNewParams[] = {{"address_class", true}, {"type_", true}, {"ref_", true}};
constexpr Signature kNew{"ProtocolAddress.__new__()", kNewParams};
constexpr Param kParseParams[] = {{"uri", true}};
constexpr Signature kParse{"ProtocolAddress.parse()", kParseParams};

PyObject* address_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<3>(kNew, args, kwargs);
        const std::string_view class_name = to_text(bound[0], "address_class");
        const std::string_view type_text = to_text(bound[1], "type_");
        const std::string_view ref_text = to_text(bound[2], "ref_");
        const auto address_class = enum_from_name<AddressClass>(class_name);
        if (!address_class) {
            std::string message = "unknown address class: ";
            message += class_name;
            message += " (expected one of: body, act, datum, prop, discard, pair, doc, evidence, route, mediation)";
            raise(Failure::BadAddress, message);
        }
        return wrap(type, Self{{*address_class, std::string(type_text), std::string(ref_text)}});
    });
}

PyObject* address_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kParse, args, nargs, kwnames);
        const std::string_view uri = to_text(bound[0], "uri");
        auto address = parse_uri(uri);
        if (!address) {
            std::string message = "invalid kiv:// URI: ";
            message += uri;
            raise(Failure::BadAddress, message);
        }
        return wrap(protocol_address_class.type, Self{std::move(*address)});
    });
}

// Rebuilt by the constructor: an address whose type holds "/" has no URI that parses back to it.
struct AddressPickle {
    static PyObject* rebuilder() { return reinterpret_cast<PyObject*>(protocol_address_class.type); }
    static PyObject* arguments(PyObject* self) {
        const ProtocolAddress& address = address_of(self);
        Ref address_class(new_str(name_of(address.address_class))), type(new_str(address.type)),
            ref(new_str(address.ref));
        return check(PyTuple_Pack(3, address_class.get(), type.get(), ref.get()));
    }
};

PyObject* address_to_uri(PyObject* self, PyObject*) {
    return guarded([&] { return new_str(to_uri(address_of(self))); });
}

PyObject* address_to_dict(PyObject* self, PyObject*) {
    return guarded([&] {
        const ProtocolAddress& address = address_of(self);
        Ref dict(check(PyDict_New()));
        const auto set = [&](const char* key, std::string_view text) {
            Ref value(new_str(text));
            if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw PythonError{};
        };
        set("class", name_of(address.address_class));
        set("type", address.type);
        set("ref", address.ref);
        return dict.release();
    });
}

PyObject* address_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "ProtocolAddress(";
        append_quoted(text, to_uri(address_of(self)));
        text += ')';
        return new_str(text);
    });
}

PyObject* address_str(PyObject* self) { return address_to_uri(self, nullptr); }

Py_hash_t address_hash(PyObject* self) {
    const Self& cell = value_of<Self>(self);
    Py_hash_t hash = cell.hash.load(std::memory_order_relaxed);
    if (hash == -1) {
        hash = static_cast<Py_hash_t>(content_hash(cell.address));
        cell.hash.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

PyObject* get_address_class(PyObject* self, void*) {
    return guarded([&] { return new_str(name_of(address_of(self).address_class)); });
}

PyMethodDef methods[] = {
    {"parse", method(address_parse), kFastKeywords | METH_STATIC,
     "parse(uri)\n--\n\nParse a canonical `kiv://<class>/<type>/<ref>` URI."},
    {"to_uri", method(address_to_uri), METH_NOARGS, "to_uri($self)\n--\n\n"},
    {"to_dict", method(address_to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<AddressPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"address_class", get_address_class, nullptr, nullptr, nullptr},
    {"type", get_text<Self, &Self::address, &ProtocolAddress::type>, nullptr, nullptr, nullptr},
    {"ref", get_text<Self, &Self::address, &ProtocolAddress::ref>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ProtocolAddress(address_class, type_, ref_)\n--\n\n"
                    "Wraps the kernel's `ProtocolAddress`. Frozen on the Python side \xe2\x80\x94\n"
                    "addresses are content-identity, not mutable state.")},
    {Py_tp_new, slot(address_new)},
    {Py_tp_dealloc, slot(dealloc<Self>)},
    {Py_tp_repr, slot(address_repr)},
    {Py_tp_str, slot(address_str)},
    {Py_tp_hash, slot(address_hash)},
    {Py_tp_richcompare, slot(richcompare<Self>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"zun_protocol.ProtocolAddress", sizeof(Instance<Self>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

ClassDef protocol_address_class{"ProtocolAddress", &spec, nullptr};

PyObject* new_address(const ProtocolAddress& address) { return wrap(protocol_address_class.type, Self{address}); }

PyObject* new_optional_address(const std::optional<ProtocolAddress>& address) {
    if (!address) return new_none();
    return new_address(*address);
}

}  // namespace zun::py
