// The class objects of the module. Each family file defines its spec; the
// module creates every type once per process, in publication order.
#pragma once

#include <Python.h>

namespace zun::py {

struct ClassDef {
    const char* name;    // attribute name in the module
    PyType_Spec* spec;
    PyTypeObject* type;  // created on first use, kept for the process
};

extern ClassDef protocol_address_class;
extern ClassDef counterparty_info_class;
extern ClassDef signed_envelope_class;
extern ClassDef attestation_chain_class;
extern ClassDef peer_identity_descriptor_class;
extern ClassDef software_identity_class;
extern ClassDef anchor_receipt_class;
extern ClassDef anchor_proof_class;
extern ClassDef mock_anchor_class;
extern ClassDef envelope_queue_class;
extern ClassDef queued_item_class;
extern ClassDef timestamp_request_class;
extern ClassDef timestamp_token_class;
extern ClassDef tsa_anchor_class;

extern PyMethodDef classify_exchange_def;

// Published after classify_exchange.
extern PyMethodDef merkle_leaf_hash_def;
extern ClassDef merkle_tree_class;
extern ClassDef inclusion_proof_class;
extern ClassDef consistency_proof_class;
extern ClassDef ots_proof_class;
extern ClassDef ots_request_class;
extern ClassDef ots_anchor_class;

// Casts for the method and slot tables.
template <class F>
void* slot(F function) {
    return reinterpret_cast<void*>(function);
}
template <class F>
PyCFunction method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace zun::py
