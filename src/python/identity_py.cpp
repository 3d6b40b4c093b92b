// SoftwareIdentity: an Ed25519 key pair in process memory, compared by
// identity. Its secret lives only inside the instance, which wipes it when
// the object is deallocated.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "core/crypto/identity.hpp"
#include "core/crypto/wipe.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/descriptor_py.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/pickling.hpp"

namespace zun::py {
namespace {

const SoftwareIdentity& identity_of(PyObject* self) { return value_of<SoftwareIdentity>(self); }

// A secret key never leaves in a pickle by accident, as with `cryptography`'s private keys;
// within the process, a copy is the identity itself.
struct IdentityPickle {
    static constexpr const char* kMessage =
        "cannot pickle 'zun_protocol.SoftwareIdentity' object: a secret key is not sent by accident; "
        "move it on purpose with secret_bytes() and SoftwareIdentity.from_seed()";
};

constexpr Param kFromSeedParams[] = {{"seed", true}};
constexpr Signature kFromSeed{"SoftwareIdentity.from_seed()", kFromSeedParams};
constexpr Param kSignParams[] = {{"payload", true}};
constexpr Signature kSign{"SoftwareIdentity.sign()", kSignParams};

PyObject* identity_generate(PyObject*, PyObject*) {
    return guarded([&] {
        auto drawn = SoftwareIdentity::generate();
        if (const auto* failure = std::get_if<RandomSourceError>(&drawn)) raise_random_failure(*failure);
        return wrap(software_identity_class.type, std::get<SoftwareIdentity>(std::move(drawn)));
    });
}

PyObject* identity_from_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kFromSeed, args, nargs, kwnames);
        const std::string_view seed = to_bytes(bound[0], "seed");
        if (seed.size() != 32) raise(Failure::WrongLength, "seed must be exactly 32 bytes");
        // Read straight from the caller's bytes: no copy of the seed is made here.
        return wrap(software_identity_class.type, SoftwareIdentity::from_seed(byte_span(seed).first<32>()));
    });
}

PyObject* identity_sign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kSign, args, nargs, kwnames);
        const auto payload = byte_span(to_bytes(bound[0], "payload"));
        // Signing even an empty payload takes some 14 us, above the 10 us or
        // so of work from which releasing the lock pays (bench/gil_handover.c),
        // so every signature is made without it.
        // The identity and the payload are immutable; these references keep
        // them alive meanwhile.
        const Ref keep_identity = Ref::borrow(self), keep_payload = Ref::borrow(bound[0]);
        const SoftwareIdentity& identity = identity_of(self);
        const auto signature = without_gil([&] { return identity.sign(payload); });
        return new_bytes({reinterpret_cast<const char*>(signature.data()), signature.size()});
    });
}

PyObject* identity_descriptor(PyObject* self, PyObject*) {
    return guarded([&] {
        const SoftwareIdentity& identity = identity_of(self);
        return new_descriptor(identity.descriptor(), VerifyingKey{identity.public_key()});
    });
}

PyObject* identity_secret_bytes(PyObject* self, PyObject*) {
    return guarded([&] {
        SoftwareIdentity::Seed seed = identity_of(self).secret_bytes();
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(seed.data()),
                                                    static_cast<Py_ssize_t>(seed.size()));
        wipe(seed);
        return check(bytes);
    });
}

PyObject* identity_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "SoftwareIdentity(fingerprint=";
        append_quoted(text, identity_of(self).fingerprint().view());
        text += ", surface=\"software\")";
        return new_str(text);
    });
}

PyObject* get_fingerprint(PyObject* self, void*) {
    return guarded([&] { return new_str(identity_of(self).fingerprint().view()); });
}

PyObject* get_surface(PyObject*, void*) {
    return guarded([&] { return new_str("software"); });
}

PyObject* get_hardware_attested(PyObject*, void*) { return new_bool(false); }

PyMethodDef methods[] = {
    {"generate", method(identity_generate), METH_NOARGS | METH_STATIC,
     "generate()\n--\n\nGenerate a fresh keypair via the OS RNG."},
    {"from_seed", method(identity_from_seed), kFastKeywords | METH_STATIC,
     "from_seed(seed)\n--\n\nDeterministic construction from a 32-byte seed."},
    {"sign", method(identity_sign), kFastKeywords,
     "sign($self, payload)\n--\n\n"
     "Sign payload bytes with the identity's Ed25519 key. Returns 64\n"
     "raw signature bytes. Callers that base64-encode for wire form\n"
     "should do so themselves."},
    {"descriptor", method(identity_descriptor), METH_NOARGS,
     "descriptor($self)\n--\n\n"
     "Public descriptor for this identity. Mint this once on key\n"
     "creation and publish at `kiv://body/peer/<fingerprint>`."},
    {"secret_bytes", method(identity_secret_bytes), METH_NOARGS,
     "secret_bytes($self)\n--\n\n"
     "The 32-byte private seed. **Handle with care** \xe2\x80\x94 once this\n"
     "leaves the identity, the key's security depends entirely on\n"
     "where the bytes go (secure-storage writers consume this when\n"
     "wrapping a software key in a higher-tier surface)."},
    ZUN_PICKLING_AND_COPYING(PickleRefused<IdentityPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"fingerprint", get_fingerprint, nullptr, nullptr, nullptr},
    {"surface", get_surface, nullptr, nullptr, nullptr},
    {"hardware_attested", get_hardware_attested, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Tier-0 Ed25519 identity. Keypair lives in Python process memory.\n\n"
                    "`surface() == \"software\"` and `hardware_attested() == False` by\n"
                    "construction \xe2\x80\x94 substrate adjudicators read these properties when\n"
                    "deciding what this identity is allowed to sign.")},
    // Runs the identity's destructor, which wipes the key material.
    {Py_tp_dealloc, slot(dealloc<SoftwareIdentity>)},
    {Py_tp_repr, slot(identity_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"zun_protocol.SoftwareIdentity", sizeof(Instance<SoftwareIdentity>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

ClassDef software_identity_class{"SoftwareIdentity", &spec, nullptr};

}  // namespace zun::py
