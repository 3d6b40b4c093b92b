// TimestampRequest and TimestampToken, the frozen records of RFC 3161
// time-stamping, and TsaAnchor, the `nist_tsa` anchor built on them. The
// module opens no connection: the caller posts the request and hands the
// answer back.
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/protocol/names.hpp"
#include "core/text/hex.hpp"
#include "core/timestamp/timestamp.hpp"
#include "core/timestamp/tsa_anchor.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/instant_py.hpp"
#include "python/pickling.hpp"

namespace zun::py {
namespace {

PyObject* bytes_object(std::span<const std::uint8_t> data) {
    return new_bytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

PyObject* new_int_from_hex(const std::string& hex) { return check(PyLong_FromString(hex.c_str(), nullptr, 16)); }

template <class T>
T take(std::variant<T, AnchorError>&& result) {
    if (const auto* error = std::get_if<AnchorError>(&result)) raise_anchor_error(*error);
    return std::get<T>(std::move(result));
}

// A dotted OID argument, or ValueError naming the parameter.
std::optional<std::string> to_policy(PyObject* obj, const char* param) {
    const auto text = to_optional_text(obj, param);
    if (!text) return std::nullopt;
    if (auto reason = check_dotted_oid(*text)) raise(Failure::InvalidArgument, std::string(param) + ": " + *reason);
    return std::string(*text);
}

// ---- TimestampRequest -------------------------------------------------------

constexpr Param kRequestParams[] = {
    {"digest", true}, {"nonce", false, true}, {"policy", false, true}, {"certificate", false, true}};
constexpr Signature kRequestNew{"TimestampRequest.__new__()", kRequestParams};

const TimestampRequest& request_of(PyObject* self) { return value_of<TimestampRequest>(self); }

PyObject* request_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<4>(kRequestNew, args, kwargs);
        const std::string_view digest = to_bytes(bound[0], "digest");
        const bool nonce = bound[1] == nullptr || to_bool(bound[1], "nonce");
        std::optional<std::string> policy = to_policy(bound[2], "policy");
        const bool certificate = bound[3] == nullptr || to_bool(bound[3], "certificate");
        if (digest.size() != 32) raise(Failure::WrongLength, "digest must be exactly 32 bytes");
        std::optional<std::uint64_t> value;
        if (nonce) {
            auto drawn = random_nonce();
            if (const auto* failure = std::get_if<RandomSourceError>(&drawn)) raise_random_failure(*failure);
            value = std::get<std::uint64_t>(drawn);
        }
        auto made = make_timestamp_request(byte_span(digest).first<32>(), value, std::move(policy), certificate);
        // The policy was checked above.
        return wrap(type, std::get<TimestampRequest>(std::move(made)));
    });
}

constexpr Param kFromDerParams[] = {{"data", true}};
constexpr Signature kRequestFromDer{"TimestampRequest.from_der()", kFromDerParams};

PyObject* request_from_der(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kRequestFromDer, args, nargs, kwnames);
        auto read = parse_timestamp_request(byte_span(to_bytes(bound[0], "data")));
        if (const auto* reason = std::get_if<std::string>(&read)) raise(Failure::InvalidArgument, "data: " + *reason);
        return wrap(timestamp_request_class.type, std::get<TimestampRequest>(std::move(read)));
    });
}

// Requests and tokens travel as their DER, read back by their from_der.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <ClassDef& def, FastFunction from_der, class Record>
struct PickledAsDer {
    static PyObject* rebuilder() {
        static ClassBound reader{"from_der", method(from_der)};
        return reader.get(def.type);
    }
    static PyObject* arguments(PyObject* self) {
        Ref der(bytes_object(value_of<Record>(self).der));
        return check(PyTuple_Pack(1, der.get()));
    }
};

using RequestPickle = PickledByArguments<PickledAsDer<timestamp_request_class, request_from_der, TimestampRequest>>;

PyObject* request_to_der(PyObject* self, PyObject*) {
    return guarded([&] { return bytes_object(request_of(self).der); });
}

PyObject* request_repr(PyObject* self) {
    return guarded([&] {
        const TimestampRequest& request = request_of(self);
        std::string text = "TimestampRequest(digest=";
        append_quoted(text, hex_encode(request.digest));
        text += ", nonce=";
        text += request.nonce ? std::to_string(*request.nonce) : "None";
        text += ", policy=";
        if (request.policy) append_quoted(text, *request.policy);
        else text += "None";
        text += request.certificate ? ", certificate=true)" : ", certificate=false)";
        return new_str(text);
    });
}

PyObject* get_request_digest(PyObject* self, void*) {
    return guarded([&] { return bytes_object(request_of(self).digest); });
}
PyObject* get_request_nonce(PyObject* self, void*) {
    return guarded([&] {
        const auto& nonce = request_of(self).nonce;
        return nonce ? check(PyLong_FromUnsignedLongLong(*nonce)) : new_none();
    });
}
PyObject* get_request_certificate(PyObject* self, void*) {
    return guarded([&] { return new_bool(request_of(self).certificate); });
}

PyMethodDef request_methods[] = {
    {"from_der", method(request_from_der), kFastKeywords | METH_STATIC,
     "from_der(data)\n--\n\nThe request whose DER TimeStampReq is `data`, as `to_der()` gives it."},
    ZUN_PICKLING_AND_COPYING(RequestPickle),
    {"to_der", method(request_to_der), METH_NOARGS, "to_der($self)\n--\n\nThe DER TimeStampReq to POST to the authority."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef request_properties[] = {
    {"digest", get_request_digest, nullptr, nullptr, nullptr},
    {"nonce", get_request_nonce, nullptr, nullptr, nullptr},
    {"policy", get_text<TimestampRequest, &TimestampRequest::policy>, nullptr, nullptr, nullptr},
    {"certificate", get_request_certificate, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TimestampRequest(digest, *, nonce=True, policy=None, certificate=True)\n--\n\n"
                    "An RFC 3161 TimeStampReq for a 32-byte SHA-256 digest, such as a\n"
                    "Merkle root, which is sent as it is and never hashed again. With\n"
                    "`nonce`, 64 random bits from the OS tie the answer to this request;\n"
                    "`policy` asks for a TSA policy (dotted OID); `certificate` asks the\n"
                    "TSA to put its certificate in the token. POST `to_der()` with\n"
                    "`Content-Type: application/timestamp-query`.")},
    {Py_tp_new, slot(request_new)},
    {Py_tp_dealloc, slot(dealloc<TimestampRequest>)},
    {Py_tp_repr, slot(request_repr)},
    {Py_tp_richcompare, slot(richcompare<TimestampRequest>)},
    {Py_tp_methods, request_methods},
    {Py_tp_getset, request_properties},
    {0, nullptr},
};

PyType_Spec request_spec = {"zun_protocol.TimestampRequest", sizeof(Instance<TimestampRequest>), 0,
                            Py_TPFLAGS_DEFAULT, request_slots};

// ---- TimestampToken ---------------------------------------------------------

constexpr Signature kFromDer{"TimestampToken.from_der()", kFromDerParams};
constexpr Param kVerifyParams[] = {
    {"digest", true},           {"roots", true, true},  {"intermediates", false, true},
    {"tsa_certificate", false, true}, {"nonce", false, true}, {"policy", false, true},
    {"signer_common_name", false, true},
};
constexpr Signature kTokenVerify{"TimestampToken.verify()", kVerifyParams};

const TimestampToken& token_of(PyObject* self) { return value_of<TimestampToken>(self); }

PyObject* token_from_der(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kFromDer, args, nargs, kwnames);
        const auto data = byte_span(to_bytes(bound[0], "data"));
        return wrap(timestamp_token_class.type, take(parse_timestamp(data)));
    });
}

PyObject* token_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<7>(kTokenVerify, args, nargs, kwnames);
        const auto digest = byte_span(to_bytes(bound[0], "digest"));
        const auto roots = byte_span(to_bytes(bound[1], "roots"));
        const auto intermediates = bound[2] == nullptr ? std::span<const std::uint8_t>{}
                                                       : byte_span(to_bytes(bound[2], "intermediates"));
        std::optional<std::span<const std::uint8_t>> tsa_certificate;
        if (const auto tsa = to_optional_bytes(bound[3], "tsa_certificate")) tsa_certificate = byte_span(*tsa);
        TimestampExpectations expected{digest, std::nullopt, std::nullopt, std::nullopt};
        if (bound[4] != nullptr && bound[4] != Py_None) expected.nonce_hex = canonical_hex(to_int_hex(bound[4], "nonce"));
        expected.policy = to_policy(bound[5], "policy");
        if (const auto name = to_optional_text(bound[6], "signer_common_name")) expected.signer_common_name = std::string(*name);

        // The token and the bytes arguments are immutable, and the call's
        // references keep them alive while OpenSSL works without the lock.
        const TimestampToken& token = token_of(self);
        using Outcome = std::variant<std::monostate, std::string, AnchorError>;
        const Outcome outcome = without_gil([&]() -> Outcome {
            auto trust = read_trust(roots, intermediates, tsa_certificate);
            if (auto* reason = std::get_if<std::string>(&trust)) return std::move(*reason);
            auto verified = verify_timestamp(token, std::get<TimestampTrust>(trust), expected);
            if (auto* error = std::get_if<AnchorError>(&verified)) return std::move(*error);
            return std::monostate{};
        });
        if (const auto* reason = std::get_if<std::string>(&outcome)) raise(Failure::InvalidArgument, *reason);
        if (const auto* error = std::get_if<AnchorError>(&outcome)) raise_anchor_error(*error);
        return new_none();
    });
}

PyObject* token_to_der(PyObject* self, PyObject*) {
    return guarded([&] { return bytes_object(token_of(self).der); });
}

PyObject* token_repr(PyObject* self) {
    return guarded([&] {
        const TimestampToken& token = token_of(self);
        std::string text = "TimestampToken(serial_number=" + hex_literal(token.serial_hex) + ", gen_time=";
        append_quoted(text, token.gen_time_text);
        text += ", policy=";
        append_quoted(text, token.policy);
        text += ')';
        return new_str(text);
    });
}

PyObject* get_gen_time(PyObject* self, void*) {
    return guarded([&] { return new_datetime(token_of(self).gen_time); });
}
PyObject* get_serial_number(PyObject* self, void*) {
    return guarded([&] { return new_int_from_hex(token_of(self).serial_hex); });
}
PyObject* get_token_digest(PyObject* self, void*) {
    return guarded([&] { return bytes_object(token_of(self).digest); });
}
PyObject* get_token_nonce(PyObject* self, void*) {
    return guarded([&] {
        const auto& nonce = token_of(self).nonce_hex;
        return nonce ? new_int_from_hex(*nonce) : new_none();
    });
}
PyObject* get_certificates(PyObject* self, void*) {
    return guarded([&] {
        const auto& certificates = token_of(self).certificates;
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(certificates.size()))));
        for (std::size_t i = 0; i < certificates.size(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), bytes_object(certificates[i]));
        }
        return list.release();
    });
}

using TokenPickle = PickledByArguments<PickledAsDer<timestamp_token_class, token_from_der, TimestampToken>>;

PyMethodDef token_methods[] = {
    {"from_der", method(token_from_der), kFastKeywords | METH_STATIC,
     "from_der(data)\n--\n\n"
     "Reads a whole TimeStampResp, as the TSA answers, or a bare token (a\n"
     "CMS ContentInfo). A response whose status is neither granted nor\n"
     "grantedWithMods raises `ValueError` with the status, statusString\n"
     "and failInfo."},
    {"verify", method(token_verify), kFastKeywords,
     "verify($self, digest, *, roots, intermediates=b'', tsa_certificate=None, nonce=None, policy=None, "
     "signer_common_name=None)\n--\n\n"
     "Checks the token offline against `digest` and returns None, or\n"
     "raises `ValueError` naming the check that failed. The certificate\n"
     "arguments are PEM (one or more certificates) or DER (one). The chain\n"
     "is validated at `gen_time`, not today. The interpreter lock is\n"
     "released meanwhile."},
    {"to_der", method(token_to_der), METH_NOARGS, "to_der($self)\n--\n\nThe token alone, as DER."},
    ZUN_PICKLING_AND_COPYING(TokenPickle),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef token_properties[] = {
    {"gen_time", get_gen_time, nullptr, nullptr, nullptr},
    {"gen_time_text", get_text<TimestampToken, &TimestampToken::gen_time_text>, nullptr, nullptr, nullptr},
    {"serial_number", get_serial_number, nullptr, nullptr, nullptr},
    {"policy", get_text<TimestampToken, &TimestampToken::policy>, nullptr, nullptr, nullptr},
    {"hash_algorithm", get_text<TimestampToken, &TimestampToken::hash_algorithm>, nullptr, nullptr, nullptr},
    {"digest", get_token_digest, nullptr, nullptr, nullptr},
    {"nonce", get_token_nonce, nullptr, nullptr, nullptr},
    {"tsa_name", get_text<TimestampToken, &TimestampToken::tsa_name>, nullptr, nullptr, nullptr},
    {"certificates", get_certificates, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An RFC 3161 time-stamp token: a TSA's signature over a digest and\n"
                    "the time it saw it. Read with `from_der`; check with `verify`.")},
    {Py_tp_dealloc, slot(dealloc<TimestampToken>)},
    {Py_tp_repr, slot(token_repr)},
    {Py_tp_richcompare, slot(richcompare<TimestampToken>)},
    {Py_tp_methods, token_methods},
    {Py_tp_getset, token_properties},
    {0, nullptr},
};

PyType_Spec token_spec = {"zun_protocol.TimestampToken", sizeof(Instance<TimestampToken>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, token_slots};

// ---- TsaAnchor --------------------------------------------------------------

constexpr Param kAnchorParams[] = {
    {"anchor_id", true},          {"roots", true},          {"intermediates", false, true},
    {"tsa_certificate", false, true}, {"policy", false, true}, {"signer_common_name", false, true},
};
constexpr Signature kAnchorNew{"TsaAnchor.__new__()", kAnchorParams};
constexpr Param kRootParams[] = {{"merkle_root", true}};
constexpr Signature kAnchorRequest{"TsaAnchor.request()", kRootParams};
constexpr Param kReceiptParams[] = {{"request", true}, {"response", true}};
constexpr Signature kAnchorReceipt{"TsaAnchor.receipt()", kReceiptParams};
constexpr Param kReceiptVerifyParams[] = {{"receipt", true}};
constexpr Signature kAnchorVerify{"TsaAnchor.verify()", kReceiptVerifyParams};

const TsaAnchor& anchor_of(PyObject* self) { return value_of<TsaAnchor>(self); }

// The anchor of the constructor's six arguments, bound in its order.
PyObject* make_anchor(PyTypeObject* type, const std::array<PyObject*, 6>& bound) {
    std::string id(to_text(bound[0], "anchor_id"));
    const auto roots = byte_span(to_bytes(bound[1], "roots"));
    const auto intermediates = bound[2] == nullptr ? std::span<const std::uint8_t>{}
                                                   : byte_span(to_bytes(bound[2], "intermediates"));
    std::optional<std::span<const std::uint8_t>> tsa_certificate;
    if (const auto tsa = to_optional_bytes(bound[3], "tsa_certificate")) tsa_certificate = byte_span(*tsa);
    std::optional<std::string> policy = to_policy(bound[4], "policy");
    std::optional<std::string> name;
    if (const auto text = to_optional_text(bound[5], "signer_common_name")) name = std::string(*text);
    auto trust = read_trust(roots, intermediates, tsa_certificate);
    if (const auto* reason = std::get_if<std::string>(&trust)) raise(Failure::InvalidArgument, *reason);
    return emplace<TsaAnchor>(type, std::move(id), std::get<TimestampTrust>(std::move(trust)), std::move(policy),
                              std::move(name));
}

PyObject* anchor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return make_anchor(type, bind<6>(kAnchorNew, args, kwargs)); });
}

// What a pickle calls: the constructor's arguments all by position, so that
// every pickle protocol writes the same form (the keyword-only ones would
// otherwise need copyreg.__newobj_ex__, which protocols 2 and 3 write as
// functools.partial over the class's __new__).
constexpr Param kAnchorRebuildParams[] = {
    {"anchor_id", true},       {"roots", true},  {"intermediates", true},
    {"tsa_certificate", true}, {"policy", true}, {"signer_common_name", true},
};
constexpr Signature kAnchorRebuild{"TsaAnchor._rebuild()", kAnchorRebuildParams};

PyObject* anchor_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return make_anchor(tsa_anchor_class.type, bind<6>(kAnchorRebuild, args, nargs, kwnames));
    });
}

PyObject* anchor_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kAnchorRequest, args, nargs, kwnames);
        const std::string_view bytes = to_bytes(bound[0], "merkle_root");
        MerkleRoot root;
        if (bytes.size() != root.size()) raise(Failure::WrongLength, "merkle_root must be exactly 32 bytes");
        std::memcpy(root.data(), bytes.data(), root.size());
        auto made = anchor_of(self).request(root);
        if (const auto* failure = std::get_if<RandomSourceError>(&made)) raise_random_failure(*failure);
        return wrap(timestamp_request_class.type, std::get<TimestampRequest>(std::move(made)));
    });
}

PyObject* anchor_receipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kAnchorReceipt, args, nargs, kwnames);
        const TimestampRequest& request =
            to_record<TimestampRequest>(bound[0], timestamp_request_class.type, "TimestampRequest", "request");
        const auto response = byte_span(to_bytes(bound[1], "response"));
        const TsaAnchor& anchor = anchor_of(self);
        auto receipt = without_gil([&] { return anchor.receipt(request, response); });
        return wrap(anchor_receipt_class.type, take(std::move(receipt)));
    });
}

PyObject* anchor_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kAnchorVerify, args, nargs, kwnames);
        const AnchorReceipt& receipt =
            to_record<AnchorReceipt>(bound[0], anchor_receipt_class.type, "AnchorReceipt", "receipt");
        const TsaAnchor& anchor = anchor_of(self);
        auto proof = without_gil([&] { return anchor.verify(receipt); });
        return wrap(anchor_proof_class.type, take(std::move(proof)));
    });
}

// An anchor changes nothing after it is made, so it travels as its
// constructor's arguments, its certificates written back as PEM: workers can
// verify receipts with it. They go to _rebuild, which takes them all by
// position, so that the pickle names TsaAnchor._rebuild whatever the
// protocol.
struct TsaAnchorPickle {
    static PyObject* rebuilder() {
        static ClassBound rebuild{"_rebuild", method(anchor_rebuild)};
        return rebuild.get(tsa_anchor_class.type);
    }
    static PyObject* arguments(PyObject* self) {
        const TsaAnchor& anchor = anchor_of(self);
        const TimestampTrust& trust = anchor.trust();
        const auto optional = [](bool present, auto make) { return present ? make() : new_none(); };
        Ref id(new_str(anchor.id()));
        Ref roots(bytes_object(certificates_pem(trust.roots)));
        Ref intermediates(bytes_object(certificates_pem(trust.intermediates)));
        Ref tsa_certificate(optional(static_cast<bool>(trust.tsa_certificate), [&] {
            return bytes_object(certificates_pem({&trust.tsa_certificate, 1}));
        }));
        Ref policy(optional(anchor.policy().has_value(), [&] { return new_str(*anchor.policy()); }));
        Ref name(optional(anchor.signer_common_name().has_value(),
                          [&] { return new_str(*anchor.signer_common_name()); }));
        return check(PyTuple_Pack(6, id.get(), roots.get(), intermediates.get(), tsa_certificate.get(), policy.get(),
                                  name.get()));
    }
};

PyObject* anchor_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "TsaAnchor(id=";
        append_quoted(text, anchor_of(self).id());
        text += ", kind=\"nist_tsa\")";
        return new_str(text);
    });
}

PyObject* get_anchor_id(PyObject* self, void*) {
    return guarded([&] { return new_str(anchor_of(self).id()); });
}
PyObject* get_anchor_kind(PyObject*, void*) {
    return guarded([] { return new_str(name_of(TsaAnchor::kKind)); });
}

PyMethodDef anchor_methods[] = {
    {"request", method(anchor_request), kFastKeywords,
     "request($self, merkle_root)\n--\n\n"
     "A TimestampRequest for the 32-byte root, with a fresh nonce and the\n"
     "anchor's policy."},
    {"receipt", method(anchor_receipt), kFastKeywords,
     "receipt($self, request, response)\n--\n\n"
     "Verifies the TSA's answer to `request` in full, its nonce included,\n"
     "and returns the receipt to persist beside the batch; `proof_b64`\n"
     "carries the token."},
    {"verify", method(anchor_verify), kFastKeywords,
     "verify($self, receipt)\n--\n\n"
     "Verifies the receipt's token against its root, offline, and returns\n"
     "the proof: confirmed, at the token's time."},
    {"_rebuild", method(anchor_rebuild), kFastKeywords | METH_STATIC,
     "_rebuild(anchor_id, roots, intermediates, tsa_certificate, policy, signer_common_name)\n--\n\n"
     "The anchor with these arguments, as its pickle rebuilds it."},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<TsaAnchorPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef anchor_properties[] = {
    {"id", get_anchor_id, nullptr, nullptr, nullptr},
    {"kind", get_anchor_kind, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot anchor_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TsaAnchor(anchor_id, roots, *, intermediates=b'', tsa_certificate=None, policy=None, "
                    "signer_common_name=None)\n--\n\n"
                    "The `nist_tsa` anchor: Merkle roots time-stamped by an RFC 3161\n"
                    "time-stamping authority and verified offline against the given\n"
                    "roots. It opens no connection: POST `request(root).to_der()` with\n"
                    "your own HTTP client and hand the answer to `receipt`.")},
    {Py_tp_new, slot(anchor_new)},
    {Py_tp_dealloc, slot(dealloc<TsaAnchor>)},
    {Py_tp_repr, slot(anchor_repr)},
    {Py_tp_methods, anchor_methods},
    {Py_tp_getset, anchor_properties},
    {0, nullptr},
};

PyType_Spec anchor_spec = {"zun_protocol.TsaAnchor", sizeof(Instance<TsaAnchor>), 0, Py_TPFLAGS_DEFAULT,
                           anchor_slots};

}  // namespace

ClassDef timestamp_request_class{"TimestampRequest", &request_spec, nullptr};
ClassDef timestamp_token_class{"TimestampToken", &token_spec, nullptr};
ClassDef tsa_anchor_class{"TsaAnchor", &anchor_spec, nullptr};

}  // namespace zun::py
