// PeerIdentityDescriptor, the public view of a peer's identity that verifies
// signatures, and AttestationChain, the hardware attestation it carries.
#include "python/descriptor_py.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/protocol/names.hpp"
#include "core/json/record_json.hpp"
#include "python/address_py.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ft.hpp"
#include "python/gil.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/pickling.hpp"
#include "python/record_forms.hpp"

namespace zun::py {
namespace {

// ---- AttestationChain ---------------------------------------------------------

const AttestationChain& chain_of(PyObject* self) { return value_of<AttestationChain>(self); }

constexpr Param kChainParams[] = {{"certs_b64", false}, {"vendor", false}};
constexpr Signature kChainNew{"AttestationChain.__new__()", kChainParams};

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<2>(kChainNew, args, kwargs);
        AttestationChain chain;
        if (bound[0] != nullptr) chain.certs_b64 = to_text_list(bound[0], "certs_b64");
        if (bound[1] != nullptr) chain.vendor = to_text(bound[1], "vendor");
        return wrap(type, std::move(chain));
    });
}

PyObject* get_certs(PyObject* self, void*);

// Rebuilt by the constructor.
struct ChainPickle {
    static PyObject* rebuilder() { return reinterpret_cast<PyObject*>(attestation_chain_class.type); }
    static PyObject* arguments(PyObject* self) {
        Ref certs(check(get_certs(self, nullptr))), vendor(new_str(chain_of(self).vendor));
        return check(PyTuple_Pack(2, certs.get(), vendor.get()));
    }
};

PyObject* chain_is_empty(PyObject* self, PyObject*) {
    return guarded([&] { return new_bool(chain_of(self).is_empty()); });
}

PyObject* chain_repr(PyObject* self) {
    return guarded([&] {
        const AttestationChain& chain = chain_of(self);
        std::string text = "AttestationChain(vendor=";
        append_quoted(text, chain.vendor);
        text += ", certs=";
        text += std::to_string(chain.certs_b64.size());
        text += ')';
        return new_str(text);
    });
}

PyObject* get_certs(PyObject* self, void*) {
    return guarded([&] {
        const auto& certs = chain_of(self).certs_b64;
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(certs.size()))));
        for (std::size_t i = 0; i < certs.size(); ++i) {
            // PyList_SetItem takes the new string even when it fails.
            if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_str(certs[i])) < 0) throw PythonError{};
        }
        return list.release();
    });
}

PyMethodDef chain_methods[] = {
    {"is_empty", method(chain_is_empty), METH_NOARGS, "is_empty($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<ChainPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef chain_properties[] = {
    {"certs_b64", get_certs, nullptr, nullptr, nullptr},
    {"vendor", get_text<AttestationChain, &AttestationChain::vendor>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "AttestationChain(certs_b64=..., vendor=...)\n--\n\n"
                    "Hardware attestation chain. Empty for software identities; non-empty\n"
                    "for Secure Enclave / TPM / YubiKey / threshold identities.")},
    {Py_tp_new, slot(chain_new)},
    {Py_tp_dealloc, slot(dealloc<AttestationChain>)},
    {Py_tp_repr, slot(chain_repr)},
    {Py_tp_richcompare, slot(richcompare<AttestationChain>)},
    {Py_tp_methods, chain_methods},
    {Py_tp_getset, chain_properties},
    {0, nullptr},
};

PyType_Spec chain_spec = {"zun_protocol.AttestationChain", sizeof(Instance<AttestationChain>), 0,
                          Py_TPFLAGS_DEFAULT, chain_slots};

// ---- PeerIdentityDescriptor ---------------------------------------------------

// The stored key text never changes, so neither does what it decodes to:
// the first verify decodes and checks it once and later ones reuse the
// verdict. Nothing of this shows from Python. Threads may verify with one
// descriptor at once, with or without the interpreter lock: the one that
// claims the verdict (unchecked -> settling) writes the key, then publishes
// the state; a thread that finds it settling uses the key it decoded itself,
// and nobody reads the key before the state says it is written.
struct Self {
    enum class KeyState : std::uint8_t { unchecked, settling, usable, unusable };

    PeerIdentityDescriptor record;
    Kept<KeyState> key_state{KeyState::unchecked};
    mutable VerifyingKey key{};

    // Empty when the key text is unusable.
    std::optional<VerifyingKey> verifying_key() const {
        KeyState state = key_state.load();
        if (state == KeyState::usable) return key;
        if (state == KeyState::unusable) return std::nullopt;
        const auto parsed = parse_verifying_key(record.public_key_b64);
        if (state == KeyState::unchecked && key_state.settle(state, KeyState::settling)) {
            if (parsed) key = *parsed;
            key_state.store(parsed ? KeyState::usable : KeyState::unusable);
        }
        return parsed;
    }

    friend bool operator==(const Self& a, const Self& b) { return a.record == b.record; }
};

const PeerIdentityDescriptor& descriptor_of(PyObject* self) { return value_of<Self>(self).record; }

struct DescriptorClass {
    using Cell = Self;
    static constexpr const char* kName = "PeerIdentityDescriptor";
    static constexpr Signature kFromJson{"PeerIdentityDescriptor.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"PeerIdentityDescriptor.from_dict()", kDictParams};
    static PyTypeObject* type() { return peer_identity_descriptor_class.type; }
    static PeerIdentityDescriptor& record(Self& cell) { return cell.record; }
    static const PeerIdentityDescriptor& record(const Self& cell) { return cell.record; }
};
using DescriptorForms = RecordForms<DescriptorClass>;

constexpr Param kFingerprintParams[] = {{"public_key_bytes", true}};
constexpr Signature kFingerprintOf{"PeerIdentityDescriptor.fingerprint_of()", kFingerprintParams};
constexpr Param kVerifyParams[] = {{"payload", true}, {"signature_bytes", true}};
constexpr Signature kVerify{"PeerIdentityDescriptor.verify()", kVerifyParams};

PyObject* descriptor_fingerprint_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kFingerprintOf, args, nargs, kwnames);
        const auto key = byte_span(to_bytes(bound[0], "public_key_bytes"));
        switch (check_public_key(key)) {
            case PublicKeyCheck::wrong_length: raise(Failure::WrongLength, "public_key must be exactly 32 bytes");
            case PublicKeyCheck::not_a_point: raise(Failure::InvalidPublicKey, "invalid Ed25519 public key bytes");
            case PublicKeyCheck::ok: break;
        }
        return new_str(fingerprint(key.first<32>()).view());
    });
}

PyObject* descriptor_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kVerify, args, nargs, kwnames);
        const auto payload = byte_span(to_bytes(bound[0], "payload"));
        const auto signature = byte_span(to_bytes(bound[1], "signature_bytes"));
        // The kept verdict is read and settled here; the work without the
        // lock gets a copy of the key.
        const std::optional<VerifyingKey> kept = value_of<Self>(self).verifying_key();
        VerifyOutcome outcome = VerifyOutcome::bad_public_key;
        if (kept && signature.size() != 64) {
            outcome = VerifyOutcome::bad_signature;  // refused without any curve work
        } else if (kept) {
            // A check takes some 38 us at least, far above the 10 us or so of
            // work from which releasing the lock pays (bench/gil_handover.c);
            // fingerprint_of, at 4 us, keeps it. Both byte strings are
            // immutable, and these references keep them alive meanwhile.
            const Ref keep_payload = Ref::borrow(bound[0]), keep_signature = Ref::borrow(bound[1]);
            const VerifyingKey key = *kept;
            outcome = without_gil([&] { return verify_signature(key, payload, signature); });
        }
        if (outcome != VerifyOutcome::ok) raise_verify_failure(outcome);
        return new_none();
    });
}

PyObject* descriptor_address(PyObject* self, PyObject*) {
    return guarded([&] {
        return new_address(ProtocolAddress{AddressClass::body, "peer", descriptor_of(self).fingerprint});
    });
}

PyObject* descriptor_repr(PyObject* self) {
    return guarded([&] {
        const PeerIdentityDescriptor& descriptor = descriptor_of(self);
        std::string text = "PeerIdentityDescriptor(fingerprint=";
        append_quoted(text, descriptor.fingerprint);
        text += ", surface=";
        append_quoted(text, name_of(descriptor.surface));
        text += ", tier=";
        text += std::to_string(descriptor.tier());
        text += ')';
        return new_str(text);
    });
}

PyObject* get_surface(PyObject* self, void*) {
    return guarded([&] { return new_str(name_of(descriptor_of(self).surface)); });
}

PyObject* get_tier(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromLong(descriptor_of(self).tier())); });
}

PyObject* get_hardware_attested(PyObject* self, void*) {
    return guarded([&] { return new_bool(descriptor_of(self).hardware_attested()); });
}

PyObject* get_attestation(PyObject* self, void*) {
    return guarded([&] { return wrap(attestation_chain_class.type, AttestationChain(descriptor_of(self).attestation)); });
}

PyObject* get_superseded_by(PyObject* self, void*) {
    return guarded([&] { return new_optional_address(descriptor_of(self).superseded_by); });
}

PyMethodDef descriptor_methods[] = {
    {"from_json", method(DescriptorForms::from_json), kFastKeywords | METH_STATIC, "from_json(s)\n--\n\n"},
    {"to_json", method(DescriptorForms::to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_dict", method(DescriptorForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    {"to_dict", method(DescriptorForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"fingerprint_of", method(descriptor_fingerprint_of), kFastKeywords | METH_STATIC,
     "fingerprint_of(public_key_bytes)\n--\n\n"
     "Compute the canonical fingerprint for a raw Ed25519 public key.\n"
     "Returns 32 hex chars (16 bytes of `SHA256(pubkey)`)."},
    {"verify", method(descriptor_verify), kFastKeywords,
     "verify($self, payload, signature_bytes)\n--\n\n"
     "Verify that `signature_bytes` is a valid signature over `payload`\n"
     "under this descriptor's public key. Raises `ValueError` on\n"
     "mismatch or malformed inputs; returns `None` on success."},
    {"address", method(descriptor_address), METH_NOARGS,
     "address($self)\n--\n\n"
     "The address this descriptor publishes under\n"
     "(`kiv://body/peer/<fingerprint>`)."},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<DescriptorClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef descriptor_properties[] = {
    {"fingerprint", get_text<Self, &Self::record, &PeerIdentityDescriptor::fingerprint>, nullptr, nullptr, nullptr},
    {"public_key_b64", get_text<Self, &Self::record, &PeerIdentityDescriptor::public_key_b64>, nullptr, nullptr,
     nullptr},
    {"surface", get_surface, nullptr, nullptr, nullptr},
    {"tier", get_tier, nullptr, nullptr, nullptr},
    {"hardware_attested", get_hardware_attested, nullptr, nullptr, nullptr},
    {"attestation", get_attestation, nullptr, nullptr, nullptr},
    {"created_at", get_text<Self, &Self::record, &PeerIdentityDescriptor::created_at>, nullptr, nullptr, nullptr},
    {"superseded_by", get_superseded_by, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Public, serialisable view of a peer's identity.\n\n"
                    "Python is a **verifier**, not a signer. This binding exposes:\n"
                    "- parsing / serialising the descriptor wire form\n"
                    "- verifying signatures against the descriptor's public key\n"
                    "- computing deterministic fingerprints from raw public-key bytes\n\n"
                    "Python is intentionally NOT given access to `SoftwareIdentity::sign`\n"
                    "or `SoftwareIdentity::generate` \xe2\x80\x94 private-key material lives in the\n"
                    "`vorn` binary's secure surface (Keychain / Secure Enclave / HSM /\n"
                    "threshold). Backend Python signs acts by dispatching to vorn, never\n"
                    "by holding a key in its own address space.")},
    {Py_tp_dealloc, slot(dealloc<Self>)},
    {Py_tp_repr, slot(descriptor_repr)},
    {Py_tp_richcompare, slot(richcompare<Self>)},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_getset, descriptor_properties},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {"zun_protocol.PeerIdentityDescriptor", sizeof(Instance<Self>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, descriptor_slots};

}  // namespace

ClassDef attestation_chain_class{"AttestationChain", &chain_spec, nullptr};
ClassDef peer_identity_descriptor_class{"PeerIdentityDescriptor", &descriptor_spec, nullptr};

PyObject* new_descriptor(PeerIdentityDescriptor&& descriptor, const VerifyingKey& key) {
    return wrap(peer_identity_descriptor_class.type, Self{std::move(descriptor), Self::KeyState::usable, key});
}

}  // namespace zun::py
