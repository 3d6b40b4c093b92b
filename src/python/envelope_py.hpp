// Envelopes as other classes hand them out and take them in.
#pragma once

#include <Python.h>

#include "core/protocol/records.hpp"

namespace zun::py {

// A new SignedEnvelope object holding a copy (or the moved record).
PyObject* new_envelope(const SignedEnvelope& envelope);
PyObject* new_envelope(SignedEnvelope&& envelope);

// The class object, for argument conversion:
// to_record<SignedEnvelope>(obj, signed_envelope_type(), "SignedEnvelope", "envelope").
PyTypeObject* signed_envelope_type();

}  // namespace zun::py
