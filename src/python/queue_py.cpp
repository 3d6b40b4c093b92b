// EnvelopeQueue, a handle on a spill directory, and QueuedItem, one item
// read back from it. Both compare and hash by identity.
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/text/debug_quote.hpp"
#include "core/queue/queue_store.hpp"
#include "core/text/utf8_lossy.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/envelope_py.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/pickling.hpp"

namespace zun::py {
namespace {

// ---- EnvelopeQueue ------------------------------------------------------------

// The queue is its directory path, as raw bytes; everything else lives on
// disk and is read afresh by each operation.
struct QueueDir {
    std::string path;
};

const std::string& dir_of(PyObject* self) { return value_of<QueueDir>(self).path; }

constexpr Param kNewParams[] = {{"dir", true}};
constexpr Signature kNew{"EnvelopeQueue.__new__()", kNewParams};
constexpr Param kPushParams[] = {{"pair_class", true}, {"envelope", true}};
constexpr Signature kPush{"EnvelopeQueue.push()", kPushParams};
constexpr Param kDropParams[] = {{"queue_id", true}};
constexpr Signature kDrop{"EnvelopeQueue.drop_item()", kDropParams};

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<1>(kNew, args, kwargs);
        return wrap(type, QueueDir{std::string(to_text(bound[0], "dir"))});
    });
}

// A queue is its directory: rebuilt by the constructor on the same path, in whichever process.
// A path that is not UTF-8 (only a HOME can give one) has no str that names it, so such a
// queue is not pickled rather than pickled as some other directory.
struct QueuePickle {
    static PyObject* rebuilder() { return reinterpret_cast<PyObject*>(envelope_queue_class.type); }
    static PyObject* arguments(PyObject* self) {
        const std::string& dir = dir_of(self);
        Ref path(PyUnicode_DecodeUTF8(dir.data(), static_cast<Py_ssize_t>(dir.size()), nullptr));
        if (!path) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonError{};
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "cannot pickle 'zun_protocol.EnvelopeQueue' object: its directory path is not UTF-8");
            throw PythonError{};
        }
        return check(PyTuple_Pack(1, path.get()));
    }
};

PyObject* queue_default(PyObject*, PyObject*) {
    return guarded([] { return wrap(envelope_queue_class.type, QueueDir{default_queue_dir()}); });
}

// push, list and drop_item run their file-system steps on the calling
// thread, one after another, without the interpreter lock but under the
// queue mutex, so that other Python threads run while the disk is waited on
// but no two queue operations of the process overlap, as when every call
// kept the lock: within a process, operations take effect in the order their
// threads made them. Arguments are converted before and Python objects
// built after; the queue object and the arguments are kept alive meanwhile
// by references of the call's own.
template <class Work>
std::optional<QueueError> queue_operation(Work&& work) {
    return without_gil([&] {
        const std::lock_guard lock(queue_mutex());
        return work();
    });
}

// The same for list(), which may read for seconds: Ctrl-C stops it between
// two items, and it raises KeyboardInterrupt having returned nothing. While
// the signal handlers run, other queue operations may come between two
// items, as another process's may at any time.
template <class Work>
std::optional<QueueError> interruptible_queue_operation(Work&& work) {
    return without_gil_until_signal([&](SignalCheck& check) {
        std::unique_lock lock(queue_mutex());
        check.unlock_while_handling(lock);
        return work(check);
    });
}

PyObject* queue_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kPush, args, nargs, kwnames);
        const std::string_view pair_class = to_text(bound[0], "pair_class");
        const SignedEnvelope& envelope =
            to_record<SignedEnvelope>(bound[1], signed_envelope_class.type, "SignedEnvelope", "envelope");
        // Such an item would be stored as ".json", which no listing returns.
        if (!queue_id_is_usable(envelope.exchange_id)) raise(Failure::QueueId, kUnusableQueueIdMessage);
        const Ref keep_queue = Ref::borrow(self), keep_pair_class = Ref::borrow(bound[0]),
                  keep_envelope = Ref::borrow(bound[1]);
        const std::string& dir = dir_of(self);
        if (auto error = queue_operation([&] { return spill(dir, pair_class, envelope); })) {
            raise_queue_error(*error);
        }
        return new_none();
    });
}

PyObject* queue_list(PyObject* self, PyObject*) {
    return guarded([&] {
        // Read and parsed into records without the lock; only the wrapping
        // into QueuedItem objects needs it.
        std::vector<QueuedItem> items;
        const Ref keep_queue = Ref::borrow(self);
        const std::string& dir = dir_of(self);
        if (auto error = interruptible_queue_operation(
                [&](SignalCheck& check) { return enumerate(dir, items, [&] { return check(); }); })) {
            raise_queue_error(*error);
        }
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* item = wrap(queued_item_class.type, std::move(items[i]));
            // Steals `item`; cannot fail for an index inside the new list.
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* queue_drop_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kDrop, args, nargs, kwnames);
        const std::string_view queue_id = to_text(bound[0], "queue_id");
        const Ref keep_queue = Ref::borrow(self), keep_queue_id = Ref::borrow(bound[0]);
        const std::string& dir = dir_of(self);
        if (auto error = queue_operation([&] { return remove(dir, queue_id); })) raise_queue_error(*error);
        return new_none();
    });
}

PyObject* queue_repr(PyObject* self) {
    return guarded([&] {
        const std::string& dir = dir_of(self);
        std::string text;
        text.reserve(dir.size() + 24);
        text = "EnvelopeQueue(dir=";
        append_debug_quoted_bytes(text, dir);
        text += ')';
        return new_str(text);
    });
}

PyObject* get_dir(PyObject* self, void*) {
    return guarded([&] {
        // A path from HOME need not be UTF-8; one given as str always is.
        std::string text;
        append_utf8_lossy(text, dir_of(self));
        return new_str(text);
    });
}

PyMethodDef queue_methods[] = {
    {"default", method(queue_default), METH_NOARGS | METH_STATIC,
     "default()\n--\n\nBind to the kernel's default directory."},
    {"push", method(queue_push), kFastKeywords,
     "push($self, pair_class, envelope)\n--\n\n"
     "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
     "failure or `ValueError` on JSON serialisation failure."},
    {"list", method(queue_list), METH_NOARGS,
     "list($self)\n--\n\nEnumerate queued items in emission order (UUIDv7 prefix sort)."},
    {"drop_item", method(queue_drop_item), kFastKeywords,
     "drop_item($self, queue_id)\n--\n\nDrop an item after successful re-emission."},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<QueuePickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef queue_properties[] = {
    {"dir", get_dir, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "EnvelopeQueue(dir)\n--\n\n"
                    "File-backed envelope spill queue. Operations are blocking from\n"
                    "Python; the kernel's async fs primitives run on the binding's\n"
                    "internal tokio runtime. Default directory is\n"
                    "`~/.tamsel/envelope-queue/` (falls back to `./.envelope-queue/` if\n"
                    "`HOME` is unset).")},
    {Py_tp_new, slot(queue_new)},
    {Py_tp_dealloc, slot(dealloc<QueueDir>)},
    {Py_tp_repr, slot(queue_repr)},
    {Py_tp_methods, queue_methods},
    {Py_tp_getset, queue_properties},
    {0, nullptr},
};

PyType_Spec queue_spec = {"zun_protocol.EnvelopeQueue", sizeof(Instance<QueueDir>), 0, Py_TPFLAGS_DEFAULT,
                          queue_slots};

// ---- QueuedItem ---------------------------------------------------------------

const QueuedItem& item_of(PyObject* self) { return value_of<QueuedItem>(self); }

PyObject* item_repr(PyObject* self) {
    return guarded([&] {
        const QueuedItem& item = item_of(self);
        std::string text = "QueuedItem(queue_id=";
        append_quoted(text, item.queue_id);
        text += ", pair_class=";
        append_quoted(text, item.pair_class);
        text += ')';
        return new_str(text);
    });
}

PyObject* get_envelope(PyObject* self, void*) {
    return guarded([&] { return new_envelope(item_of(self).envelope); });
}

// An item has no constructor and no JSON form of its own; its pickle names this private
// static method, which builds one from its three fields without reading any file. The
// envelope travels as its own pickle, read back by SignedEnvelope.from_json.
constexpr Param kRebuildParams[] = {{"queue_id", true}, {"pair_class", true}, {"envelope", true}};
constexpr Signature kRebuild{"QueuedItem._rebuild()", kRebuildParams};

PyObject* item_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<3>(kRebuild, args, nargs, kwnames);
        QueuedItem item;
        item.queue_id = to_text(bound[0], "queue_id");
        item.pair_class = to_text(bound[1], "pair_class");
        item.envelope = to_record<SignedEnvelope>(bound[2], signed_envelope_type(), "SignedEnvelope", "envelope");
        return wrap(queued_item_class.type, std::move(item));
    });
}

struct ItemPickle {
    static PyObject* rebuilder() {
        static ClassBound rebuild{"_rebuild", method(item_rebuild)};
        return rebuild.get(queued_item_class.type);
    }
    static PyObject* arguments(PyObject* self) {
        const QueuedItem& item = item_of(self);
        Ref queue_id(new_str(item.queue_id)), pair_class(new_str(item.pair_class)),
            envelope(new_envelope(item.envelope));
        return check(PyTuple_Pack(3, queue_id.get(), pair_class.get(), envelope.get()));
    }
};

PyMethodDef item_methods[] = {
    {"_rebuild", method(item_rebuild), kFastKeywords | METH_STATIC,
     "_rebuild(queue_id, pair_class, envelope)\n--\n\nThe item with these fields, as its pickle rebuilds it."},
    ZUN_PICKLING_AND_COPYING(PickledByArguments<ItemPickle>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef item_properties[] = {
    {"queue_id", get_text<QueuedItem, &QueuedItem::queue_id>, nullptr, nullptr, nullptr},
    {"pair_class", get_text<QueuedItem, &QueuedItem::pair_class>, nullptr, nullptr, nullptr},
    {"envelope", get_envelope, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot item_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "One spilled record: the envelope plus the pair class it was meant to\n"
                    "be emitted as. Constructed by the queue, not by user code.")},
    {Py_tp_dealloc, slot(dealloc<QueuedItem>)},
    {Py_tp_repr, slot(item_repr)},
    {Py_tp_methods, item_methods},
    {Py_tp_getset, item_properties},
    {0, nullptr},
};

PyType_Spec item_spec = {"zun_protocol.QueuedItem", sizeof(Instance<QueuedItem>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, item_slots};

}  // namespace

ClassDef envelope_queue_class{"EnvelopeQueue", &queue_spec, nullptr};
ClassDef queued_item_class{"QueuedItem", &item_spec, nullptr};

}  // namespace zun::py
