#include "python/instance.hpp"

namespace zun::py {

PyObject* negated_equality(PyObject* self, PyObject* other) noexcept {
    Ref equal(PyObject_RichCompare(self, other, Py_EQ));
    if (!equal) return nullptr;
    const int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return nullptr;
    return new_bool(truth == 0);
}

}  // namespace zun::py
