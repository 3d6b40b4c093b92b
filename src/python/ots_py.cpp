// OtsProof, OtsRequest and OtsAnchor: OpenTimestamps proofs read, merged,
// upgraded and verified offline against block headers the caller supplies,
// and the `open_timestamps` anchor built on them. The module opens no
// connection: the caller talks to the calendars and hands their answers back.
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/ots/bitcoin.hpp"
#include "core/ots/ots_anchor.hpp"
#include "core/ots/proof.hpp"
#include "core/protocol/names.hpp"
#include "core/text/hex.hpp"
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

using ots::Bytes;
using ots::Proof;

// Reading, walking or rewriting a proof this large takes some 10 us or more,
// from which releasing the interpreter lock pays (bench/gil_handover.c).
constexpr std::size_t kReleaseBytes = 16 * 1024;

template <class Work>
auto released_if_large(std::size_t size, Work&& work) {
    if (size < kReleaseBytes) return work();
    return without_gil(std::forward<Work>(work));
}

PyObject* bytes_object(std::span<const std::uint8_t> data) {
    return new_bytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

template <class T>
T take(std::variant<T, AnchorError>&& result) {
    if (const auto* error = std::get_if<AnchorError>(&result)) raise_anchor_error(*error);
    return std::get<T>(std::move(result));
}

template <class T>
T take(ots::OtsResult<T>&& result) {
    if (const auto* error = std::get_if<AnchorError>(&result)) raise_anchor_error(*error);
    if (const auto* error = std::get_if<ots::ArgumentError>(&result)) raise(Failure::InvalidArgument, error->message);
    return std::get<T>(std::move(result));
}

[[noreturn]] void raise_invalid_proof(const std::string& reason) {
    raise_anchor_error(AnchorError{AnchorError::Kind::bad_response, "invalid .ots proof: " + reason});
}

ots::Chain to_chain(PyObject* obj, const char* param) {
    if (obj == nullptr) return ots::Chain::mainnet;
    const std::string_view name = to_text(obj, param);
    const auto chain = ots::chain_named(name);
    if (!chain) {
        std::string message = std::string(param) + ": ";
        append_quoted(message, name);
        raise(Failure::InvalidArgument, message + " is neither \"mainnet\" nor \"regtest\"");
    }
    return *chain;
}

// A collections.abc.Mapping (a dict, or any other mapping type).
void check_mapping(PyObject* obj, const char* param) {
    if (PyDict_Check(obj)) return;
    static KeptObject kept;
    PyObject* mapping = kept_object(kept, [] {
        Ref abc(check(PyImport_ImportModule("collections.abc")));
        return check(PyObject_GetAttrString(abc.get(), "Mapping"));
    });
    const int answer = PyObject_IsInstance(obj, mapping);
    if (answer < 0) throw PythonError{};
    if (answer == 1) return;
    Ref name(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__")));
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as 'Mapping'", name.get());
    fail_argument(param);
}

// The mapping's items as (calendar, answer) pairs, valid while `keep` holds
// the item objects.
std::vector<ots::CalendarAnswer> calendar_answers(PyObject* mapping, const char* param, Ref& keep) {
    check_mapping(mapping, param);
    keep = Ref(PyMapping_Items(mapping));
    if (!keep) fail_argument(param);
    std::vector<ots::CalendarAnswer> answers;
    const Py_ssize_t count = PyList_Size(keep.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GetItem(keep.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() gave something other than (key, value) pairs");
            fail_argument(param);
        }
        const std::string_view calendar = to_text(PyTuple_GetItem(pair, 0), param);
        const std::string_view body = to_bytes(PyTuple_GetItem(pair, 1), param);
        answers.push_back({calendar, byte_span(body)});
    }
    return answers;
}

// The headers a mapping holds at `heights`, looked up one by one: a mapping
// of every header of the chain is read only where the proof needs it.
ots::Headers headers_at(PyObject* mapping, const std::vector<ots::Attestation>& bitcoin, std::vector<Ref>& keep) {
    ots::Headers headers;
    for (const ots::Attestation& attestation : bitcoin) {
        if (headers.contains(attestation.height)) continue;
        Ref key(check(PyLong_FromUnsignedLongLong(attestation.height)));
        Ref value(PyObject_GetItem(mapping, key.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
            PyErr_Clear();
            continue;
        }
        headers.emplace(attestation.height, byte_span(to_bytes(value.get(), "headers")));
        keep.push_back(std::move(value));
    }
    return headers;
}

PyObject* attestation_tuple(const ots::Attestation& attestation) {
    Ref kind(new_str(ots::kind_name(attestation.kind)));
    Ref value;
    if (ots::is_chain(attestation.kind)) {
        value = Ref(check(PyLong_FromUnsignedLongLong(attestation.height)));
    } else if (attestation.kind == ots::AttestationKind::pending) {
        value = Ref(new_str(attestation.url));
    } else {
        value = Ref(bytes_object(attestation.tag));
    }
    Ref commitment(bytes_object(attestation.commitment));
    return check(PyTuple_Pack(3, kind.get(), value.get(), commitment.get()));
}

// ---- OtsProof -----------------------------------------------------------------

const Proof& proof_of(PyObject* self) { return value_of<Proof>(self); }

Proof read_proof(std::span<const std::uint8_t> data) {
    auto read = released_if_large(data.size(), [&] { return Proof::read(data); });
    if (const auto* reason = std::get_if<std::string>(&read)) raise_invalid_proof(*reason);
    return std::get<Proof>(std::move(read));
}

constexpr Param kDataParams[] = {{"data", true}};
constexpr Signature kProofFromBytes{"OtsProof.from_bytes()", kDataParams};
constexpr Param kMergeParams[] = {{"other", true}};
constexpr Signature kProofMerge{"OtsProof.merge()", kMergeParams};
constexpr Param kUpgradeParams[] = {{"commitment", true}, {"answer", true}};
constexpr Signature kProofUpgrade{"OtsProof.upgrade()", kUpgradeParams};
constexpr Param kProofVerifyParams[] = {{"headers", true}, {"chain", false, true}};
constexpr Signature kProofVerify{"OtsProof.verify()", kProofVerifyParams};

PyObject* proof_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kProofFromBytes, args, nargs, kwnames);
        return wrap(ots_proof_class.type, read_proof(byte_span(to_bytes(bound[0], "data"))));
    });
}

PyObject* proof_to_bytes(PyObject* self, PyObject*) {
    return guarded([&] { return bytes_object(proof_of(self).bytes()); });
}

PyObject* proof_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kProofMerge, args, nargs, kwnames);
        const Proof& other = to_record<Proof>(bound[0], ots_proof_class.type, "OtsProof", "other");
        const Proof& proof = proof_of(self);
        auto merged = released_if_large(proof.bytes().size() + other.bytes().size(),
                                        [&] { return ots::merge(proof, other); });
        if (const auto* reason = std::get_if<std::string>(&merged)) raise(Failure::InvalidArgument, "other: " + *reason);
        return wrap(ots_proof_class.type, std::get<Proof>(std::move(merged)));
    });
}

PyObject* proof_upgrade(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kProofUpgrade, args, nargs, kwnames);
        const auto commitment = byte_span(to_bytes(bound[0], "commitment"));
        const auto answer = byte_span(to_bytes(bound[1], "answer"));
        const Proof& proof = proof_of(self);
        auto upgraded = take(released_if_large(proof.bytes().size() + answer.size(),
                                               [&] { return ots::upgrade(proof, commitment, answer); }));
        if (!upgraded) raise(Failure::InvalidArgument, "commitment: no message of the proof is " + hex_encode(commitment));
        return wrap(ots_proof_class.type, std::move(*upgraded));
    });
}

// The Bitcoin attestations and their messages, computed without the
// interpreter lock for a large proof.
std::vector<ots::Attestation> bitcoin_attestations(const Proof& proof) {
    return take(released_if_large(proof.bytes().size(), [&] {
        return ots::attestations(proof, ots::kind_bit(ots::AttestationKind::bitcoin));
    }));
}

PyObject* proof_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kProofVerify, args, nargs, kwnames);
        check_mapping(bound[0], "headers");
        const ots::Chain chain = to_chain(bound[1], "chain");
        const std::vector<ots::Attestation> bitcoin = bitcoin_attestations(proof_of(self));
        std::vector<Ref> keep;
        const ots::Headers headers = headers_at(bound[0], bitcoin, keep);
        const auto confirmed = take(ots::confirm(bitcoin, headers, chain));
        if (!confirmed) return new_none();
        Ref height(check(PyLong_FromUnsignedLongLong(confirmed->height)));
        Ref time(new_datetime(Instant{confirmed->time, 0}));
        return check(PyTuple_Pack(2, height.get(), time.get()));
    });
}

PyObject* get_proof_digest(PyObject* self, void*) {
    return guarded([&] { return bytes_object(proof_of(self).digest()); });
}

PyObject* get_hash_algorithm(PyObject* self, void*) {
    return guarded([&] { return new_str(ots::op_name(proof_of(self).hash_op())); });
}

PyObject* get_attestations(PyObject* self, void*) {
    return guarded([&] {
        const Proof& proof = proof_of(self);
        const auto found = take(released_if_large(proof.bytes().size(), [&] { return ots::attestations(proof); }));
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(found.size()))));
        for (std::size_t i = 0; i < found.size(); ++i) {
            // PyList_SetItem takes the new tuple even when it fails.
            if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), attestation_tuple(found[i])) < 0) {
                throw PythonError{};
            }
        }
        return list.release();
    });
}

PyObject* proof_repr(PyObject* self) {
    return guarded([&] {
        const Proof& proof = proof_of(self);
        std::string text = "OtsProof(hash_algorithm=";
        append_quoted(text, ots::op_name(proof.hash_op()));
        text += ", digest=";
        append_quoted(text, hex_encode(proof.digest()));
        text += ", attestations=" + std::to_string(ots::attestation_count(proof)) + ')';
        return new_str(text);
    });
}

// Proofs and requests travel as their bytes, read back by their from_bytes.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <ClassDef& def, FastFunction from_bytes, class Record, Bytes (*to_bytes)(const Record&)>
struct PickledAsBytes {
    static PyObject* rebuilder() {
        static ClassBound reader{"from_bytes", method(from_bytes)};
        return reader.get(def.type);
    }
    static PyObject* arguments(PyObject* self) {
        Ref data(bytes_object(to_bytes(value_of<Record>(self))));
        return check(PyTuple_Pack(1, data.get()));
    }
};

Bytes proof_bytes(const Proof& proof) { return proof.bytes(); }
using ProofPickle = PickledByArguments<PickledAsBytes<ots_proof_class, proof_from_bytes, Proof, proof_bytes>>;

PyMethodDef proof_methods[] = {
    {"from_bytes", method(proof_from_bytes), kFastKeywords | METH_STATIC,
     "from_bytes(data)\n--\n\n"
     "Reads a whole .ots file. Every limit of the format is checked; a\n"
     "malformed file raises `ValueError` \"anchor bad response: invalid .ots\n"
     "proof: <reason>\"."},
    {"to_bytes", method(proof_to_bytes), METH_NOARGS,
     "to_bytes($self)\n--\n\nThe proof as a canonical .ots file."},
    {"merge", method(proof_merge), kFastKeywords,
     "merge($self, other)\n--\n\nThe union of this proof and `other`, a proof of the same digest."},
    {"upgrade", method(proof_upgrade), kFastKeywords,
     "upgrade($self, commitment, answer)\n--\n\n"
     "The proof with a calendar's upgrade `answer` (a bare tree starting at\n"
     "`commitment`) grafted at every node whose message is `commitment`.\n"
     "Where the answer holds an attestation that is not pending, the\n"
     "pending attestations at those nodes are left out."},
    {"verify", method(proof_verify), kFastKeywords,
     "verify($self, headers, *, chain='mainnet')\n--\n\n"
     "The height and block time (aware UTC) of the earliest Bitcoin\n"
     "attestation that a supplied header confirms, or None when no Bitcoin\n"
     "attestation has a header in `headers` (height -> the raw 80-byte\n"
     "header). A malformed header, or headers that only contradict their\n"
     "attestations, raise `ValueError`."},
    ZUN_PICKLING_AND_COPYING(ProofPickle),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef proof_properties[] = {
    {"digest", get_proof_digest, nullptr, nullptr, nullptr},
    {"hash_algorithm", get_hash_algorithm, nullptr, nullptr, nullptr},
    {"attestations", get_attestations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot proof_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An OpenTimestamps proof: the operations that lead from a file's\n"
                    "digest to attestations (Bitcoin block headers, calendars still\n"
                    "pending). Read with `from_bytes`; immutable.")},
    {Py_tp_dealloc, slot(dealloc<Proof>)},
    {Py_tp_repr, slot(proof_repr)},
    {Py_tp_richcompare, slot(richcompare<Proof>)},
    {Py_tp_methods, proof_methods},
    {Py_tp_getset, proof_properties},
    {0, nullptr},
};

PyType_Spec proof_spec = {"zun_protocol.OtsProof", sizeof(Instance<Proof>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, proof_slots};

// ---- OtsRequest ---------------------------------------------------------------

const ots::OtsRequest& request_of(PyObject* self) { return value_of<ots::OtsRequest>(self); }

constexpr Signature kRequestFromBytes{"OtsRequest.from_bytes()", kDataParams};

PyObject* request_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kRequestFromBytes, args, nargs, kwnames);
        auto read = ots::read_request(byte_span(to_bytes(bound[0], "data")));
        if (const auto* reason = std::get_if<std::string>(&read)) raise(Failure::InvalidArgument, "data: " + *reason);
        return wrap(ots_request_class.type, std::get<ots::OtsRequest>(std::move(read)));
    });
}

PyObject* request_to_bytes(PyObject* self, PyObject*) {
    return guarded([&] { return bytes_object(ots::request_bytes(request_of(self))); });
}

PyObject* request_repr(PyObject* self) {
    return guarded([&] {
        const ots::OtsRequest& request = request_of(self);
        std::string text = "OtsRequest(merkle_root=";
        append_quoted(text, hex_encode(request.merkle_root));
        text += ", nonce=";
        append_quoted(text, hex_encode(request.nonce));
        text += ", commitment=";
        append_quoted(text, hex_encode(request.commitment));
        text += ')';
        return new_str(text);
    });
}

PyObject* get_request_root(PyObject* self, void*) {
    return guarded([&] { return bytes_object(request_of(self).merkle_root); });
}
PyObject* get_request_nonce(PyObject* self, void*) {
    return guarded([&] { return bytes_object(request_of(self).nonce); });
}
PyObject* get_request_commitment(PyObject* self, void*) {
    return guarded([&] { return bytes_object(request_of(self).commitment); });
}

using RequestPickle = PickledByArguments<
    PickledAsBytes<ots_request_class, request_from_bytes, ots::OtsRequest, ots::request_bytes>>;

PyMethodDef request_methods[] = {
    {"from_bytes", method(request_from_bytes), kFastKeywords | METH_STATIC,
     "from_bytes(data)\n--\n\nThe request whose `to_bytes()` is `data`."},
    {"to_bytes", method(request_to_bytes), METH_NOARGS,
     "to_bytes($self)\n--\n\nThe root and the nonce, 48 bytes: all the request is made of."},
    ZUN_PICKLING_AND_COPYING(RequestPickle),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef request_properties[] = {
    {"merkle_root", get_request_root, nullptr, nullptr, nullptr},
    {"nonce", get_request_nonce, nullptr, nullptr, nullptr},
    {"commitment", get_request_commitment, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "What an `OtsAnchor` sends for a Merkle root: `commitment`, the\n"
                    "SHA-256 of the root and a 16-byte nonce, is the body to POST to\n"
                    "each calendar's /digest. Made by `OtsAnchor.request`.")},
    {Py_tp_dealloc, slot(dealloc<ots::OtsRequest>)},
    {Py_tp_repr, slot(request_repr)},
    {Py_tp_richcompare, slot(richcompare<ots::OtsRequest>)},
    {Py_tp_methods, request_methods},
    {Py_tp_getset, request_properties},
    {0, nullptr},
};

PyType_Spec request_spec = {"zun_protocol.OtsRequest", sizeof(Instance<ots::OtsRequest>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, request_slots};

// ---- OtsAnchor ----------------------------------------------------------------

constexpr Param kAnchorParams[] = {{"anchor_id", true}, {"calendars", true}, {"chain", false, true}};
constexpr Signature kAnchorNew{"OtsAnchor.__new__()", kAnchorParams};
constexpr Param kRequestParams[] = {{"merkle_root", true}, {"nonce", false, true}};
constexpr Signature kAnchorRequest{"OtsAnchor.request()", kRequestParams};
constexpr Param kReceiptParams[] = {{"request", true}, {"responses", true}};
constexpr Signature kAnchorReceipt{"OtsAnchor.receipt()", kReceiptParams};
constexpr Param kPendingParams[] = {{"receipt", true}};
constexpr Signature kAnchorPending{"OtsAnchor.pending()", kPendingParams};
constexpr Param kAnchorUpgradeParams[] = {{"receipt", true}, {"responses", true}};
constexpr Signature kAnchorUpgrade{"OtsAnchor.upgrade()", kAnchorUpgradeParams};
constexpr Param kAnchorVerifyParams[] = {{"receipt", true}, {"headers", false}};
constexpr Signature kAnchorVerify{"OtsAnchor.verify()", kAnchorVerifyParams};

const ots::OtsAnchor& anchor_of(PyObject* self) { return value_of<ots::OtsAnchor>(self); }

const AnchorReceipt& receipt_argument(PyObject* obj) {
    return to_record<AnchorReceipt>(obj, anchor_receipt_class.type, "AnchorReceipt", "receipt");
}

// Proofs in receipts are read, walked and rewritten without the interpreter
// lock when their Base64 is large.
std::size_t receipt_size(const AnchorReceipt& receipt) { return receipt.proof_b64.size(); }

PyObject* make_anchor(PyTypeObject* type, const std::array<PyObject*, 3>& bound) {
    std::string id(to_text(bound[0], "anchor_id"));
    std::vector<std::string> calendars = to_text_list(bound[1], "calendars");
    const ots::Chain chain = to_chain(bound[2], "chain");
    for (std::size_t i = 0; i < calendars.size(); ++i) {
        std::string message = "calendars: ";
        append_quoted(message, calendars[i]);
        if (auto reason = ots::OtsAnchor::check_calendar(calendars[i])) {
            raise(Failure::InvalidArgument, message + ": " + *reason);
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (calendars[j] == calendars[i]) raise(Failure::InvalidArgument, message + " is given twice");
        }
    }
    return emplace<ots::OtsAnchor>(type, std::move(id), std::move(calendars), chain);
}

PyObject* anchor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return make_anchor(type, bind<3>(kAnchorNew, args, kwargs)); });
}

// What a pickle calls: the constructor's arguments all by position, so that
// every pickle protocol writes the same form, as TsaAnchor's does (the
// keyword-only chain would otherwise need copyreg.__newobj_ex__).
constexpr Param kAnchorRebuildParams[] = {{"anchor_id", true}, {"calendars", true}, {"chain", true}};
constexpr Signature kAnchorRebuild{"OtsAnchor._rebuild()", kAnchorRebuildParams};

PyObject* anchor_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return make_anchor(ots_anchor_class.type, bind<3>(kAnchorRebuild, args, nargs, kwnames));
    });
}

PyObject* anchor_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kAnchorRequest, args, nargs, kwnames);
        const std::string_view bytes = to_bytes(bound[0], "merkle_root");
        const auto nonce = to_optional_bytes(bound[1], "nonce");
        MerkleRoot root;
        if (bytes.size() != root.size()) raise(Failure::WrongLength, "merkle_root must be exactly 32 bytes");
        std::memcpy(root.data(), bytes.data(), root.size());
        if (nonce) {
            if (nonce->size() != ots::kNonceSize) raise(Failure::WrongLength, "nonce must be exactly 16 bytes");
            return wrap(ots_request_class.type, ots::make_request(root, byte_span(*nonce).first<ots::kNonceSize>()));
        }
        auto made = ots::random_request(root);
        if (const auto* failure = std::get_if<RandomSourceError>(&made)) raise_random_failure(*failure);
        return wrap(ots_request_class.type, std::get<ots::OtsRequest>(std::move(made)));
    });
}

PyObject* anchor_receipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kAnchorReceipt, args, nargs, kwnames);
        const ots::OtsRequest& request =
            to_record<ots::OtsRequest>(bound[0], ots_request_class.type, "OtsRequest", "request");
        Ref keep;
        const auto answers = calendar_answers(bound[1], "responses", keep);
        std::size_t size = 0;
        for (const auto& answer : answers) size += answer.body.size();
        const ots::OtsAnchor& anchor = anchor_of(self);
        auto receipt = take(released_if_large(size, [&] { return anchor.receipt(request, answers); }));
        return wrap(anchor_receipt_class.type, std::move(receipt));
    });
}

PyObject* anchor_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kAnchorPending, args, nargs, kwnames);
        const AnchorReceipt& receipt = receipt_argument(bound[0]);
        const ots::OtsAnchor& anchor = anchor_of(self);
        const auto pending = take(released_if_large(receipt_size(receipt), [&] { return anchor.pending(receipt); }));
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(pending.size()))));
        for (std::size_t i = 0; i < pending.size(); ++i) {
            Ref calendar(new_str(pending[i].calendar));
            Ref url(new_str(pending[i].url));
            if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                               check(PyTuple_Pack(2, calendar.get(), url.get()))) < 0) {
                throw PythonError{};
            }
        }
        return list.release();
    });
}

PyObject* anchor_upgrade(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kAnchorUpgrade, args, nargs, kwnames);
        const AnchorReceipt& receipt = receipt_argument(bound[0]);
        Ref keep;
        const auto answers = calendar_answers(bound[1], "responses", keep);
        std::size_t size = receipt_size(receipt);
        for (const auto& answer : answers) size += answer.body.size();
        const ots::OtsAnchor& anchor = anchor_of(self);
        auto upgraded = take(released_if_large(size, [&] { return anchor.upgrade(receipt, answers); }));
        return wrap(anchor_receipt_class.type, std::move(upgraded));
    });
}

PyObject* anchor_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kAnchorVerify, args, nargs, kwnames);
        const AnchorReceipt& receipt = receipt_argument(bound[0]);
        PyObject* mapping = bound[1] == Py_None ? nullptr : bound[1];
        if (mapping != nullptr) check_mapping(mapping, "headers");
        const ots::OtsAnchor& anchor = anchor_of(self);
        const auto examined = take(released_if_large(receipt_size(receipt), [&] { return anchor.examine(receipt); }));
        std::vector<Ref> keep;
        const ots::Headers headers = mapping == nullptr ? ots::Headers{} : headers_at(mapping, examined.bitcoin, keep);
        return wrap(anchor_proof_class.type, take(anchor.conclude(receipt, examined, headers)));
    });
}

// An anchor changes nothing after it is made, so it travels as its
// constructor's arguments, given to _rebuild by position.
struct OtsAnchorPickle {
    static PyObject* rebuilder() {
        static ClassBound rebuild{"_rebuild", method(anchor_rebuild)};
        return rebuild.get(ots_anchor_class.type);
    }
    static PyObject* calendars(const ots::OtsAnchor& anchor) {
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(anchor.calendars().size()))));
        for (std::size_t i = 0; i < anchor.calendars().size(); ++i) {
            if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_str(anchor.calendars()[i])) < 0) {
                throw PythonError{};
            }
        }
        return list.release();
    }
    static PyObject* arguments(PyObject* self) {
        const ots::OtsAnchor& anchor = anchor_of(self);
        Ref id(new_str(anchor.id()));
        Ref list(calendars(anchor));
        Ref chain(new_str(ots::chain_name(anchor.chain())));
        return check(PyTuple_Pack(3, id.get(), list.get(), chain.get()));
    }
};

PyObject* anchor_repr(PyObject* self) {
    return guarded([&] {
        const ots::OtsAnchor& anchor = anchor_of(self);
        std::string text = "OtsAnchor(id=";
        append_quoted(text, anchor.id());
        text += ", kind=\"open_timestamps\", chain=";
        append_quoted(text, ots::chain_name(anchor.chain()));
        text += ')';
        return new_str(text);
    });
}

PyObject* get_anchor_id(PyObject* self, void*) {
    return guarded([&] { return new_str(anchor_of(self).id()); });
}
PyObject* get_anchor_kind(PyObject*, void*) {
    return guarded([] { return new_str(name_of(ots::OtsAnchor::kKind)); });
}
PyObject* get_anchor_calendars(PyObject* self, void*) {
    return guarded([&] { return OtsAnchorPickle::calendars(anchor_of(self)); });
}
PyObject* get_anchor_chain(PyObject* self, void*) {
    return guarded([&] { return new_str(ots::chain_name(anchor_of(self).chain())); });
}

PyMethodDef anchor_methods[] = {
    {"request", method(anchor_request), kFastKeywords,
     "request($self, merkle_root, *, nonce=None)\n--\n\n"
     "An OtsRequest for the 32-byte root, with 16 random bytes from the OS\n"
     "as its nonce unless `nonce` is given (for reproducible tests). POST\n"
     "its `commitment` to each calendar's /digest."},
    {"receipt", method(anchor_receipt), kFastKeywords,
     "receipt($self, request, responses)\n--\n\n"
     "The receipt to persist beside the batch, from the calendars' answers\n"
     "to the request (`responses`: calendar URL -> the body it answered).\n"
     "`proof_b64` carries the .ots proof of the root."},
    {"pending", method(anchor_pending), kFastKeywords,
     "pending($self, receipt)\n--\n\n"
     "(calendar, URL to GET) for each pending attestation of the receipt."},
    {"upgrade", method(anchor_upgrade), kFastKeywords,
     "upgrade($self, receipt, responses)\n--\n\n"
     "The receipt with each calendar's upgrade answer (`responses`: calendar\n"
     "URL -> the body of its 200 answer) grafted into its proof."},
    {"verify", method(anchor_verify), kFastKeywords,
     "verify($self, receipt, headers=None)\n--\n\n"
     "Verifies the receipt offline against `headers` (block height -> the\n"
     "raw 80-byte header), and returns the proof: confirmed at the earliest\n"
     "confirmed block's time, or not, with what is missing in `detail`."},
    {"_rebuild", method(anchor_rebuild), kFastKeywords | METH_STATIC,
     "_rebuild(anchor_id, calendars, chain)\n--\n\n"
     "The anchor with these arguments, as its pickle rebuilds it."},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<OtsAnchorPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef anchor_properties[] = {
    {"id", get_anchor_id, nullptr, nullptr, nullptr},
    {"kind", get_anchor_kind, nullptr, nullptr, nullptr},
    {"calendars", get_anchor_calendars, nullptr, nullptr, nullptr},
    {"chain", get_anchor_chain, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot anchor_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "OtsAnchor(anchor_id, calendars, *, chain='mainnet')\n--\n\n"
                    "The `open_timestamps` anchor: Merkle roots time-stamped by\n"
                    "OpenTimestamps calendars in Bitcoin, and receipts verified offline\n"
                    "against block headers you supply. It opens no connection: POST\n"
                    "`request(root).commitment` to each calendar's /digest and hand the\n"
                    "answers to `receipt`; GET the URLs `pending` gives and hand those\n"
                    "answers to `upgrade`.")},
    {Py_tp_new, slot(anchor_new)},
    {Py_tp_dealloc, slot(dealloc<ots::OtsAnchor>)},
    {Py_tp_repr, slot(anchor_repr)},
    {Py_tp_methods, anchor_methods},
    {Py_tp_getset, anchor_properties},
    {0, nullptr},
};

PyType_Spec anchor_spec = {"zun_protocol.OtsAnchor", sizeof(Instance<ots::OtsAnchor>), 0, Py_TPFLAGS_DEFAULT,
                           anchor_slots};

}  // namespace

ClassDef ots_proof_class{"OtsProof", &proof_spec, nullptr};
ClassDef ots_request_class{"OtsRequest", &request_spec, nullptr};
ClassDef ots_anchor_class{"OtsAnchor", &anchor_spec, nullptr};

}  // namespace zun::py
