// SignedEnvelope and CounterpartyInfo: frozen value records compared by value.
#include "python/envelope_py.hpp"

#include <string>
#include <utility>

#include "core/protocol/names.hpp"
#include "core/json/record_json.hpp"
#include "python/address_py.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/instant_py.hpp"
#include "python/pickling.hpp"
#include "python/record_forms.hpp"

namespace zun::py {
namespace {

// ---- SignedEnvelope -----------------------------------------------------------

const SignedEnvelope& envelope_of(PyObject* self) { return value_of<SignedEnvelope>(self); }

struct EnvelopeClass {
    using Cell = SignedEnvelope;
    static constexpr const char* kName = "SignedEnvelope";
    static constexpr Signature kFromJson{"SignedEnvelope.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"SignedEnvelope.from_dict()", kDictParams};
    static PyTypeObject* type() { return signed_envelope_class.type; }
};
using EnvelopeForms = RecordForms<EnvelopeClass>;

PyObject* envelope_signing_bytes(PyObject* self, PyObject*) {
    return guarded([&] { return new_bytes(canonical_signing_bytes(envelope_of(self))); });
}

PyObject* envelope_repr(PyObject* self) {
    return guarded([&] {
        const SignedEnvelope& e = envelope_of(self);
        std::string text = "SignedEnvelope(exchange_id=";
        append_quoted(text, e.exchange_id);
        text += ", direction=";
        append_quoted(text, name_of(e.direction));
        text += ')';
        return new_str(text);
    });
}

// Every getter returns a fresh object built from the record.
PyObject* get_peer_self(PyObject* self, void*) {
    return guarded([&] { return new_address(envelope_of(self).peer_self); });
}
PyObject* get_peer_counterparty(PyObject* self, void*) {
    return guarded([&] { return new_optional_address(envelope_of(self).peer_counterparty); });
}
PyObject* get_direction(PyObject* self, void*) {
    return guarded([&] { return new_str(name_of(envelope_of(self).direction)); });
}
PyObject* get_opened_at(PyObject* self, void*) {
    return guarded([&] { return new_datetime(envelope_of(self).opened_at); });
}
PyObject* get_closed_at(PyObject* self, void*) {
    return guarded([&] { return new_optional_datetime(envelope_of(self).closed_at); });
}

PyMethodDef envelope_methods[] = {
    {"from_json", method(EnvelopeForms::from_json), kFastKeywords | METH_STATIC,
     "from_json(s)\n--\n\n"
     "Parse a canonical JSON wire envelope. Matches the form emitted\n"
     "by the kernel + the form `crates/signed_envelope` accepts on the\n"
     "wire."},
    {"to_json", method(EnvelopeForms::to_json), METH_NOARGS, "to_json($self)\n--\n\nSerialize to canonical JSON."},
    {"canonical_signing_bytes", method(envelope_signing_bytes), METH_NOARGS,
     "canonical_signing_bytes($self)\n--\n\n"
     "The bytes Ed25519 signs over \xe2\x80\x94\n"
     "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
     "JSON. Same as `crates/primitives` produces, byte-for-byte."},
    {"to_dict", method(EnvelopeForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"from_dict", method(EnvelopeForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<EnvelopeClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef envelope_properties[] = {
    {"exchange_id", get_text<SignedEnvelope, &SignedEnvelope::exchange_id>, nullptr, nullptr, nullptr},
    {"peer_self", get_peer_self, nullptr, nullptr, nullptr},
    {"peer_counterparty", get_peer_counterparty, nullptr, nullptr, nullptr},
    {"direction", get_direction, nullptr, nullptr, nullptr},
    {"request_hash", get_text<SignedEnvelope, &SignedEnvelope::request_hash>, nullptr, nullptr, nullptr},
    {"response_hash", get_text<SignedEnvelope, &SignedEnvelope::response_hash>, nullptr, nullptr, nullptr},
    {"counterparty_signature", get_text<SignedEnvelope, &SignedEnvelope::counterparty_signature>, nullptr, nullptr,
     nullptr},
    {"our_signature", get_text<SignedEnvelope, &SignedEnvelope::our_signature>, nullptr, nullptr, nullptr},
    {"opened_at", get_opened_at, nullptr, nullptr, nullptr},
    {"closed_at", get_closed_at, nullptr, nullptr, nullptr},
    {"protocol_hint", get_text<SignedEnvelope, &SignedEnvelope::protocol_hint>, nullptr, nullptr, nullptr},
    {"counterparty_identifier", get_text<SignedEnvelope, &SignedEnvelope::counterparty_identifier>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot envelope_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Wire record of one completed exchange (faithfulness-v1 primitive #4).\n\n"
                    "Constructed from canonical JSON (`from_json`) \xe2\x80\x94 direct field-by-field\n"
                    "construction is intentionally absent because the envelope's\n"
                    "`our_signature` must be produced by the kernel's signing path, not\n"
                    "recomputed from Python. Backend Python is a verifier + emitter; the\n"
                    "kernel's vorn binary is the signer.")},
    {Py_tp_dealloc, slot(dealloc<SignedEnvelope>)},
    {Py_tp_repr, slot(envelope_repr)},
    {Py_tp_richcompare, slot(richcompare<SignedEnvelope>)},
    {Py_tp_methods, envelope_methods},
    {Py_tp_getset, envelope_properties},
    {0, nullptr},
};

PyType_Spec envelope_spec = {"zun_protocol.SignedEnvelope", sizeof(Instance<SignedEnvelope>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, envelope_slots};

// ---- CounterpartyInfo ---------------------------------------------------------

const CounterpartyInfo& info_of(PyObject* self) { return value_of<CounterpartyInfo>(self); }

constexpr Param kInfoParams[] = {
    {"identifier", true},
    {"protocol_hint", true},
    {"peer_address", false},
    {"counterparty_signature", false},
};
constexpr Signature kInfoNew{"CounterpartyInfo.__new__()", kInfoParams};

std::optional<std::string> owned(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    return std::string(*text);
}

PyObject* info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<4>(kInfoNew, args, kwargs);
        CounterpartyInfo info;
        info.identifier = to_text(bound[0], "identifier");
        info.protocol_hint = to_text(bound[1], "protocol_hint");
        info.peer_address = owned(to_optional_text(bound[2], "peer_address"));
        info.counterparty_signature = owned(to_optional_text(bound[3], "counterparty_signature"));
        return wrap(type, std::move(info));
    });
}

// Rebuilt by the constructor; absent texts are passed as None.
struct InfoPickle {
    static PyObject* rebuilder() { return reinterpret_cast<PyObject*>(counterparty_info_class.type); }
    static PyObject* arguments(PyObject* self) {
        const CounterpartyInfo& info = info_of(self);
        Ref identifier(new_str(info.identifier)), protocol_hint(new_str(info.protocol_hint)),
            peer_address(new_optional_str(info.peer_address)),
            counterparty_signature(new_optional_str(info.counterparty_signature));
        return check(PyTuple_Pack(4, identifier.get(), protocol_hint.get(), peer_address.get(),
                                  counterparty_signature.get()));
    }
};

// The dict json.loads makes of the JSON form: always four keys, None for
// an absent text.
PyObject* info_to_dict(PyObject* self, PyObject*) {
    return guarded([&] {
        static KeptObject identifier, protocol_hint, peer_address, counterparty_signature;
        const CounterpartyInfo& info = info_of(self);
        Ref dict(check(PyDict_New()));
        const auto set = [&](KeptObject& key, const char* name, std::optional<std::string_view> text) {
            PyObject* interned_key = interned(key, name);
            const Ref value(text ? new_str(*text) : new_none());
            if (PyDict_SetItem(dict.get(), interned_key, value.get()) < 0) throw PythonError{};
        };
        set(identifier, "identifier", info.identifier);
        set(protocol_hint, "protocol_hint", info.protocol_hint);
        set(peer_address, "peer_address", info.peer_address);
        set(counterparty_signature, "counterparty_signature", info.counterparty_signature);
        return dict.release();
    });
}

PyObject* info_repr(PyObject* self) {
    return guarded([&] {
        const CounterpartyInfo& info = info_of(self);
        std::string text = "CounterpartyInfo(identifier=";
        append_quoted(text, info.identifier);
        text += ", protocol_hint=";
        append_quoted(text, info.protocol_hint);
        text += ')';
        return new_str(text);
    });
}

PyMethodDef info_methods[] = {
    {"to_dict", method(info_to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<InfoPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef info_properties[] = {
    {"identifier", get_text<CounterpartyInfo, &CounterpartyInfo::identifier>, nullptr, nullptr, nullptr},
    {"protocol_hint", get_text<CounterpartyInfo, &CounterpartyInfo::protocol_hint>, nullptr, nullptr, nullptr},
    {"peer_address", get_text<CounterpartyInfo, &CounterpartyInfo::peer_address>, nullptr, nullptr, nullptr},
    {"counterparty_signature", get_text<CounterpartyInfo, &CounterpartyInfo::counterparty_signature>, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CounterpartyInfo(identifier, protocol_hint, peer_address=None, counterparty_signature=None)\n"
                    "--\n\n"
                    "Everything we know about the other end of an exchange. Free-form\n"
                    "metadata that travels with a `SignedEnvelope`.")},
    {Py_tp_new, slot(info_new)},
    {Py_tp_dealloc, slot(dealloc<CounterpartyInfo>)},
    {Py_tp_repr, slot(info_repr)},
    {Py_tp_richcompare, slot(richcompare<CounterpartyInfo>)},
    {Py_tp_methods, info_methods},
    {Py_tp_getset, info_properties},
    {0, nullptr},
};

PyType_Spec info_spec = {"zun_protocol.CounterpartyInfo", sizeof(Instance<CounterpartyInfo>), 0,
                         Py_TPFLAGS_DEFAULT, info_slots};

}  // namespace

ClassDef signed_envelope_class{"SignedEnvelope", &envelope_spec, nullptr};
ClassDef counterparty_info_class{"CounterpartyInfo", &info_spec, nullptr};

PyObject* new_envelope(const SignedEnvelope& envelope) { return wrap(signed_envelope_class.type, envelope); }
PyObject* new_envelope(SignedEnvelope&& envelope) {
    return wrap(signed_envelope_class.type, std::move(envelope));
}

PyTypeObject* signed_envelope_type() { return signed_envelope_class.type; }

}  // namespace zun::py
