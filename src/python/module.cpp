// The module's entry point: publishes the version, the classes and the
// module function in a fixed order, once per process.
#include <Python.h>

#include <cstdint>

#include "core/crypto/libcrypto.hpp"
#include "python/classes.hpp"
#include "python/ft.hpp"
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

// What the module publishes after classify_exchange, in order: classes and
// functions that came after the first release. A new name is one line here.
struct Published {
    ClassDef* class_def = nullptr;
    PyMethodDef* function_def = nullptr;
};
constexpr Published published(ClassDef& def) { return {&def, nullptr}; }
constexpr Published published(PyMethodDef& def) { return {nullptr, &def}; }

const Published kPublishedLater[] = {
    published(merkle_leaf_hash_def),
    published(merkle_tree_class),
    published(inclusion_proof_class),
    published(consistency_proof_class),
    published(timestamp_request_class),
    published(timestamp_token_class),
    published(tsa_anchor_class),
    published(ots_proof_class),
    published(ots_request_class),
    published(ots_anchor_class),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zun_protocol",
    "",
    0,  // no per-module state: the init function runs again on re-import
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

// The main interpreter's id, which CPython gives the first interpreter of
// the process.
constexpr std::int64_t kMainInterpreter = 0;

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

// A module function, with the module as its `self` and `__module__`.
void publish_function(PyObject* module, PyMethodDef& def) {
    Ref module_name(check(PyUnicode_FromString("zun_protocol")));
    Ref function(check(PyCFunction_NewEx(&def, module, module_name.get())));
    publish(module, def.ml_name, function.get());
}

PyObject* create_module() {
    Ref module(check(PyModule_Create(&module_def)));
    declare_free_threading(module.get());
    Ref version(check(PyUnicode_FromString("0.1.0")));
    publish(module.get(), "__version__", version.get());
    for (ClassDef* def : kPublishedClasses) {
        publish(module.get(), def->name, reinterpret_cast<PyObject*>(class_object(*def)));
    }
    publish_function(module.get(), classify_exchange_def);
    for (const Published& later : kPublishedLater) {
        if (later.class_def != nullptr) {
            publish(module.get(), later.class_def->name, reinterpret_cast<PyObject*>(class_object(*later.class_def)));
        } else {
            publish_function(module.get(), *later.function_def);
        }
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
    // The class objects and the cached module belong to the interpreter that
    // made them, and are made once per process: the module lives in the main
    // interpreter only. A sub-interpreter is refused before anything is made
    // or recorded, so that the main interpreter can import it whenever it
    // likes, before, during or after the sub-interpreter's life.
    if (id != kMainInterpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "zun_protocol does not support sub-interpreters: import it in the main interpreter");
        return nullptr;
    }
    if (cached_module == nullptr) {
        prepare_libcrypto();
        cached_module = guarded([] { return create_module(); });
        if (cached_module == nullptr) return nullptr;
    }
    Py_INCREF(cached_module);
    return cached_module;
}

}  // namespace
}  // namespace zun::py

PyMODINIT_FUNC PyInit_zun_protocol(void) { return zun::py::initialise(); }
