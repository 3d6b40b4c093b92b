// The module's entry point: publishes the version, the classes and the
// module function in a fixed order, once per process.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/classes.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {
namespace {

// The classes in publication order.
ClassDef* const kPublishedClasses[] = {
    &protocol_address_class, &counterparty_info_class,  &signed_envelope_class,
    &attestation_chain_class, &peer_identity_descriptor_class, &software_identity_class,
    &anchor_receipt_class,   &anchor_proof_class,       &mock_anchor_class,
    &envelope_queue_class,   &queued_item_class,
};

// Classes added since, published after the function in this order.
ClassDef* const kLaterClasses[] = {
    &timestamp_request_class, &timestamp_token_class, &tsa_anchor_class,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zun_protocol",
    "",
    0,  // no per-module state: the init function runs again on re-import
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* cached_module = nullptr;

// Appends `name` to `__all__`, creating the list on first use, then sets it.
void publish(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = Ref(check(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    Ref text(check(PyUnicode_FromString(name)));
    if (PyList_Append(all.get(), text.get()) < 0) throw PythonError{};
    if (PyObject_SetAttrString(module, name, value) < 0) throw PythonError{};
}

PyTypeObject* class_object(ClassDef& def) {
    if (def.type == nullptr) {
        def.type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(def.spec)));
    }
    return def.type;
}

PyObject* create_module() {
    Ref module(check(PyModule_Create(&module_def)));
    Ref version(check(PyUnicode_FromString("0.1.0")));
    publish(module.get(), "__version__", version.get());
    for (ClassDef* def : kPublishedClasses) {
        publish(module.get(), def->name, reinterpret_cast<PyObject*>(class_object(*def)));
    }
    Ref module_name(check(PyUnicode_FromString("zun_protocol")));
    Ref function(check(PyCFunction_NewEx(&classify_exchange_def, module.get(), module_name.get())));
    publish(module.get(), classify_exchange_def.ml_name, function.get());
    for (ClassDef* def : kLaterClasses) {
        publish(module.get(), def->name, reinterpret_cast<PyObject*>(class_object(*def)));
    }
    return module.release();
}

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "zun_protocol does not support sub-interpreters: it was already initialised "
                        "in another interpreter of this process");
        return nullptr;
    }
    if (cached_module == nullptr) {
        cached_module = guarded([] { return create_module(); });
        if (cached_module == nullptr) return nullptr;
    }
    Py_INCREF(cached_module);
    return cached_module;
}

}  // namespace
}  // namespace zun::py

PyMODINIT_FUNC PyInit_zun_protocol(void) { return zun::py::initialise(); }
