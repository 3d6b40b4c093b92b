// AnchorReceipt and AnchorProof, the frozen records of anchoring a Merkle
// root, and MockAnchor, the in-memory anchor that issues and verifies them.
#include <cstring>
#include <string>
#include <utility>
#include <variant>

#include "core/anchor/anchor.hpp"
#include "core/protocol/names.hpp"
#include "core/json/record_json.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/record_forms.hpp"

namespace zun::py {
namespace {

struct ReceiptClass {
    using Cell = AnchorReceipt;
    static constexpr const char* kName = "AnchorReceipt";
    static constexpr Signature kFromJson{"AnchorReceipt.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"AnchorReceipt.from_dict()", kDictParams};
    static PyTypeObject* type() { return anchor_receipt_class.type; }
};

struct ProofClass {
    using Cell = AnchorProof;
    static constexpr const char* kName = "AnchorProof";
    static constexpr Signature kFromJson{"AnchorProof.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"AnchorProof.from_dict()", kDictParams};
    static PyTypeObject* type() { return anchor_proof_class.type; }
};

using ReceiptForms = RecordForms<ReceiptClass>;
using ProofForms = RecordForms<ProofClass>;

template <class Record>
PyObject* get_kind(PyObject* self, void*) {
    return guarded([&] { return new_str(name_of(value_of<Record>(self).anchor_kind)); });
}

PyObject* get_confirmed(PyObject* self, void*) {
    return guarded([&] { return new_bool(value_of<AnchorProof>(self).confirmed); });
}

// ---- AnchorReceipt ----------------------------------------------------------

PyObject* receipt_repr(PyObject* self) {
    return guarded([&] {
        const AnchorReceipt& receipt = value_of<AnchorReceipt>(self);
        std::string text = "AnchorReceipt(anchor_id=";
        append_quoted(text, receipt.anchor_id);
        text += ", kind=";
        append_quoted(text, name_of(receipt.anchor_kind));
        text += ", root=";
        append_quoted(text, receipt.merkle_root_hex);
        text += ')';
        return new_str(text);
    });
}

PyMethodDef receipt_methods[] = {
    {"from_json", method(ReceiptForms::from_json), kFastKeywords | METH_STATIC, "from_json(s)\n--\n\n"},
    {"to_json", method(ReceiptForms::to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_dict", method(ReceiptForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    {"to_dict", method(ReceiptForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<ReceiptClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef receipt_properties[] = {
    {"anchor_id", get_text<AnchorReceipt, &AnchorReceipt::anchor_id>, nullptr, nullptr, nullptr},
    {"anchor_kind", get_kind<AnchorReceipt>, nullptr, nullptr, nullptr},
    {"merkle_root_hex", get_text<AnchorReceipt, &AnchorReceipt::merkle_root_hex>, nullptr, nullptr, nullptr},
    {"submission_ref", get_text<AnchorReceipt, &AnchorReceipt::submission_ref>, nullptr, nullptr, nullptr},
    {"submitted_at", get_text<AnchorReceipt, &AnchorReceipt::submitted_at>, nullptr, nullptr, nullptr},
    {"expected_finality_at", get_text<AnchorReceipt, &AnchorReceipt::expected_finality_at>, nullptr, nullptr,
     nullptr},
    {"proof_b64", get_text<AnchorReceipt, &AnchorReceipt::proof_b64>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot receipt_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Receipt returned when a Merkle root is submitted to an external\n"
                    "anchor. Persisted alongside the batch so it can be verified later.\n"
                    "Python sees this as a parsed/serialisable record \xe2\x80\x94 actual anchor\n"
                    "submission stays in the kernel's async runtime.")},
    {Py_tp_dealloc, slot(dealloc<AnchorReceipt>)},
    {Py_tp_repr, slot(receipt_repr)},
    {Py_tp_richcompare, slot(richcompare<AnchorReceipt>)},
    {Py_tp_methods, receipt_methods},
    {Py_tp_getset, receipt_properties},
    {0, nullptr},
};

PyType_Spec receipt_spec = {"zun_protocol.AnchorReceipt", sizeof(Instance<AnchorReceipt>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, receipt_slots};

// ---- AnchorProof ------------------------------------------------------------

PyObject* proof_repr(PyObject* self) {
    return guarded([&] {
        const AnchorProof& proof = value_of<AnchorProof>(self);
        std::string text = "AnchorProof(anchor_id=";
        append_quoted(text, proof.anchor_id);
        text += ", kind=";
        append_quoted(text, name_of(proof.anchor_kind));
        text += proof.confirmed ? ", confirmed=true, root=" : ", confirmed=false, root=";
        append_quoted(text, proof.merkle_root_hex);
        text += ')';
        return new_str(text);
    });
}

PyMethodDef proof_methods[] = {
    {"from_json", method(ProofForms::from_json), kFastKeywords | METH_STATIC, "from_json(s)\n--\n\n"},
    {"to_json", method(ProofForms::to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_dict", method(ProofForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    {"to_dict", method(ProofForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<ProofClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef proof_properties[] = {
    {"anchor_id", get_text<AnchorProof, &AnchorProof::anchor_id>, nullptr, nullptr, nullptr},
    {"anchor_kind", get_kind<AnchorProof>, nullptr, nullptr, nullptr},
    {"merkle_root_hex", get_text<AnchorProof, &AnchorProof::merkle_root_hex>, nullptr, nullptr, nullptr},
    {"confirmed", get_confirmed, nullptr, nullptr, nullptr},
    {"authoritative_time", get_text<AnchorProof, &AnchorProof::authoritative_time>, nullptr, nullptr, nullptr},
    {"detail", get_text<AnchorProof, &AnchorProof::detail>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot proof_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Result of verifying an `AnchorReceipt` against the external anchor.\n"
                    "`confirmed = false` means pending finality (not failure \xe2\x80\x94 failures\n"
                    "return Err in the kernel's verify path, which here surfaces as a\n"
                    "`ValueError` at parse time if the JSON is malformed).")},
    {Py_tp_dealloc, slot(dealloc<AnchorProof>)},
    {Py_tp_repr, slot(proof_repr)},
    {Py_tp_richcompare, slot(richcompare<AnchorProof>)},
    {Py_tp_methods, proof_methods},
    {Py_tp_getset, proof_properties},
    {0, nullptr},
};

PyType_Spec proof_spec = {"zun_protocol.AnchorProof", sizeof(Instance<AnchorProof>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, proof_slots};

// ---- MockAnchor -------------------------------------------------------------

// Submission and verification are short map operations under the anchor's
// own mutex, so they keep the interpreter lock throughout.

constexpr Param kNewParams[] = {{"id", true}};
constexpr Signature kNew{"MockAnchor.__new__()", kNewParams};
constexpr Param kSubmitParams[] = {{"merkle_root", true}};
constexpr Signature kSubmit{"MockAnchor.submit()", kSubmitParams};
constexpr Param kVerifyParams[] = {{"receipt", true}};
constexpr Signature kVerify{"MockAnchor.verify()", kVerifyParams};

MockAnchor& anchor_of(PyObject* self) { return value_of<MockAnchor>(self); }

// Neither pickled nor copied: another process has no use for the anchor's memory of the roots
// it was given, and a copy in this one would fork it.
struct AnchorPickle {
    static constexpr const char* kMessage =
        "cannot pickle 'zun_protocol.MockAnchor' object: its memory of submitted roots belongs to this process";
};

PyObject* anchor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<1>(kNew, args, kwargs);
        // Built in place, as its mutex makes the anchor immovable.
        return emplace<MockAnchor>(type, std::string(to_text(bound[0], "id")));
    });
}

PyObject* anchor_submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kSubmit, args, nargs, kwnames);
        const std::string_view bytes = to_bytes(bound[0], "merkle_root");
        MerkleRoot root;
        if (bytes.size() != root.size()) raise(Failure::WrongLength, "merkle_root must be exactly 32 bytes");
        std::memcpy(root.data(), bytes.data(), root.size());
        auto result = anchor_of(self).submit(root);
        if (const auto* error = std::get_if<AnchorError>(&result)) raise_anchor_error(*error);
        return wrap(anchor_receipt_class.type, std::get<AnchorReceipt>(std::move(result)));
    });
}

PyObject* anchor_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kVerify, args, nargs, kwnames);
        const AnchorReceipt& receipt =
            to_record<AnchorReceipt>(bound[0], anchor_receipt_class.type, "AnchorReceipt", "receipt");
        auto result = anchor_of(self).verify(receipt);
        if (const auto* error = std::get_if<AnchorError>(&result)) raise_anchor_error(*error);
        return wrap(anchor_proof_class.type, std::get<AnchorProof>(std::move(result)));
    });
}

PyObject* anchor_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "MockAnchor(id=";
        append_quoted(text, anchor_of(self).id());
        text += ", kind=\"local\")";
        return new_str(text);
    });
}

PyObject* get_id(PyObject* self, void*) {
    return guarded([&] { return new_str(anchor_of(self).id()); });
}
PyObject* get_anchor_kind(PyObject*, void*) {
    return guarded([] { return new_str(name_of(MockAnchor::kKind)); });
}
PyObject* get_cost(PyObject*, void*) {
    return guarded([] { return check(PyFloat_FromDouble(MockAnchor::kCostUsdPerSubmission)); });
}
PyObject* get_finality(PyObject*, void*) {
    return guarded([] { return check(PyLong_FromUnsignedLongLong(MockAnchor::kFinalitySeconds)); });
}

PyMethodDef anchor_methods[] = {
    {"submit", method(anchor_submit), kFastKeywords,
     "submit($self, merkle_root)\n--\n\n"
     "Submit a Merkle root (32 bytes). Returns the receipt the tenant\n"
     "must persist in order to verify later. Raises `ValueError` on\n"
     "double-submission of the same root."},
    {"verify", method(anchor_verify), kFastKeywords,
     "verify($self, receipt)\n--\n\n"
     "Verify a previously-submitted receipt. Raises `ValueError` for\n"
     "unknown roots or malformed input."},
    ZUN_PICKLING(PickleRefused<AnchorPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef anchor_properties[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"kind", get_anchor_kind, nullptr, nullptr, nullptr},
    {"cost_usd_per_submission", get_cost, nullptr, nullptr, nullptr},
    {"finality_seconds", get_finality, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot anchor_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MockAnchor(id)\n--\n\n"
                    "In-memory anchor for tests + local-development. Behaves like an\n"
                    "instant-finality anchor that remembers what it submitted. **NOT for\n"
                    "production** \xe2\x80\x94 the whole point of an external anchor is *external*\n"
                    "witnesses. Use a real concrete anchor (`OpenTimestamps`, \xe2\x80\xa6) for\n"
                    "any non-test workload.")},
    {Py_tp_new, slot(anchor_new)},
    {Py_tp_dealloc, slot(dealloc<MockAnchor>)},
    {Py_tp_repr, slot(anchor_repr)},
    {Py_tp_methods, anchor_methods},
    {Py_tp_getset, anchor_properties},
    {0, nullptr},
};

PyType_Spec anchor_spec = {"zun_protocol.MockAnchor", sizeof(Instance<MockAnchor>), 0, Py_TPFLAGS_DEFAULT,
                           anchor_slots};

}  // namespace

ClassDef anchor_receipt_class{"AnchorReceipt", &receipt_spec, nullptr};
ClassDef anchor_proof_class{"AnchorProof", &proof_spec, nullptr};
ClassDef mock_anchor_class{"MockAnchor", &anchor_spec, nullptr};

}  // namespace zun::py
