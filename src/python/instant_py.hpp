// UTC instants as Python sees them: timezone-aware datetime objects.
#pragma once

#include <Python.h>

#include <optional>

#include "core/protocol/records.hpp"

namespace zun::py {

// A new `datetime.datetime` in `datetime.timezone.utc`, microseconds
// truncated. A leap second comes back as second 59 after a UserWarning;
// a warning turned into an error, or a year that datetime cannot hold,
// raises instead.
PyObject* new_datetime(const Instant& instant);
// None when absent.
PyObject* new_optional_datetime(const std::optional<Instant>& instant);

}  // namespace zun::py
