// Addresses as other classes hand them out.
#pragma once

#include <Python.h>

#include <optional>

#include "core/protocol/records.hpp"

namespace zun::py {

// A new ProtocolAddress object holding a copy.
PyObject* new_address(const ProtocolAddress& address);
// None when absent.
PyObject* new_optional_address(const std::optional<ProtocolAddress>& address);

}  // namespace zun::py
