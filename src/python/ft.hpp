// The two builds of the module in one place: the abi3 build for interpreters
// with the interpreter lock (the limited API of 3.10), and the build for a
// free-threaded interpreter (Py_GIL_DISABLED: the full API of its own
// version, one module per version). Binding code uses what is here and reads
// the same for both; gil.hpp says which state needs which guard.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {

// Tells a free-threaded interpreter that importing the module must not turn
// the lock back on; nothing to say to the other kind. Fails with the
// interpreter's exception set.
inline void declare_free_threading(PyObject* module) {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) throw PythonError{};
#else
    (void)module;
#endif
}

// A Python object made on first use and kept for the process: a class, an
// interned name, a function looked up once. Making it may run Python code,
// and so let other threads in with or without the lock: two of them may make
// it at once. The first to store its object wins; the others drop theirs
// and use the winner's. No lock is held while it is made, so nothing can
// wait on a thread that waits for the interpreter.
using KeptObject = std::atomic<PyObject*>;

// The object in `slot`, made by `make` (a new reference, or a throw) when
// there is none yet.
template <class Make>
PyObject* kept_object(KeptObject& slot, Make&& make) {
    PyObject* kept = slot.load(std::memory_order_acquire);
    if (kept != nullptr) return kept;
    PyObject* made = make();
    if (slot.compare_exchange_strong(kept, made, std::memory_order_acq_rel, std::memory_order_acquire)) return made;
    Py_DECREF(made);
    return kept;
}

// A value settled on first use inside an object's cell (a hash, a verdict),
// read and written by any thread that holds the object. Copying takes the
// value it holds: cells are built and moved into their instance before any
// other thread can see them.
template <class T>
class Kept {
public:
    constexpr Kept(T value = T{}) noexcept : value_(value) {}
    Kept(const Kept& other) noexcept : value_(other.load()) {}
    Kept& operator=(const Kept& other) noexcept {
        store(other.load());
        return *this;
    }

    T load(std::memory_order order = std::memory_order_acquire) const noexcept { return value_.load(order); }
    void store(T value, std::memory_order order = std::memory_order_release) const noexcept {
        value_.store(value, order);
    }
    // Replaces `expected` by `desired`; false (and `expected` updated) when
    // another value was there.
    bool settle(T& expected, T desired) const noexcept {
        return value_.compare_exchange_strong(expected, desired, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }

private:
    mutable std::atomic<T> value_;
};

// Entries made on first use and kept for the process (the Python objects of
// a record description, the names of an enumeration), found without any
// lock: the list only grows, at its head, by a compare-and-swap. Two threads
// may make the same entry at once; the first added wins, and the other's is
// destroyed at once (an entry holding Python references drops them in its
// destructor), so each key has one entry. Kept entries are never destroyed,
// not even at exit (the list has no destructor), so what they point to
// stays reachable as long as the process lives.
template <class T>
class KeptList {
public:
    // The entry `match` accepts, made by `make` (which returns a T) when
    // there is none yet.
    template <class Match, class Make>
    T& find_or_add(Match&& match, Make&& make) {
        Node* seen = head_.load(std::memory_order_acquire);
        for (Node* node = seen; node != nullptr; node = node->next) {
            if (match(node->value)) return node->value;
        }
        std::unique_ptr<Node> made(new Node{make(), seen});
        while (!head_.compare_exchange_weak(made->next, made.get(), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            // Look at what the others added meanwhile, down to what was seen.
            for (Node* node = made->next; node != seen; node = node->next) {
                if (match(node->value)) return node->value;
            }
            seen = made->next;
        }
        return made.release()->value;
    }

private:
    struct Node {
        T value;
        Node* next;
    };
    std::atomic<Node*> head_{nullptr};
};

// Holds an object's own lock (a critical section) for its scope in the
// free-threaded build, where another thread could change a dict while it is
// walked with PyDict_Next; with the interpreter lock, nothing changes it
// while no Python code runs, and this is nothing. A thread that blocks
// inside lets go of the section meanwhile, as with any critical section, so
// what is read under it is taken as new references at once.
class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectLock(PyObject*) noexcept {}
#endif
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A new reference to list[index], or an empty Ref when the list is no
// longer that long. Another thread may change the list at any moment of a
// free-threaded interpreter, so the item is taken under the list's own lock
// there; with the interpreter lock, nothing changes it meanwhile.
inline Ref list_item(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, index);
    if (item == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PythonError{};
        PyErr_Clear();
    }
    return Ref(item);
#else
    if (index >= PyList_Size(list)) return Ref();
    return Ref::borrow(PyList_GetItem(list, index));
#endif
}

// Asks the CPU for list[index] ahead of its use. Only with the interpreter
// lock: without it the item may be gone by the time its address is read,
// and the hint is not worth a reference.
inline void prefetch_list_item(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    (void)list;
    (void)index;
#else
    if (index < PyList_Size(list)) __builtin_prefetch(PyList_GetItem(list, index));
#endif
}

}  // namespace zun::py
