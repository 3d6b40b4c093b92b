// Peer identity descriptors as other classes hand them out.
#pragma once

#include <Python.h>

#include "core/crypto/ed25519.hpp"
#include "core/protocol/records.hpp"

namespace zun::py {

// A new PeerIdentityDescriptor object for a descriptor whose public key is
// already known as bytes that decompress (a key pair's own public key), so
// that its verifications skip the decoding and the curve check.
PyObject* new_descriptor(PeerIdentityDescriptor&& descriptor, const VerifyingKey& key);

}  // namespace zun::py
