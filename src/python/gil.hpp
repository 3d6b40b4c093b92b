// Native work with the interpreter lock released, so that other Python
// threads run meanwhile: Ed25519 signing and verification, every queue
// operation's file-system steps and item parsing, the hashing of Merkle
// leaves in batches (and of single leaves of 16 KiB or more), time-stamp
// token verification, and reading, rewriting and walking OpenTimestamps
// proofs of 16 KiB or more. Releasing changes no
// result, message or file; it only lets other threads run.
//
// The rule for both builds. With the interpreter lock (the abi3 build), a
// thread that holds it is the only one touching Python objects; a
// free-threaded interpreter (ft.hpp) runs every thread at once, and
// without_gil then only detaches the thread from the interpreter, so that a
// pause of every thread (the garbage collector's, a fork's) need not wait
// for the work. So nothing below may rely on the lock for exclusion: what
// the lock alone used to guard has its own guard now, the same in both
// builds.
//
// Never touched inside work given to without_gil:
//   - any PyObject or reference count: arguments are converted before the
//     work and results built after it, and the references that keep the
//     arguments alive meanwhile are taken before and dropped after. No
//     native thread of the module's own exists.
//
// Made once and kept for the process, published atomically (kept_object in
// ft.hpp): two threads may make one at once, the first stored wins and the
// others drop theirs; no lock is held while one is made, so that nothing
// waits on a thread that waits for the interpreter:
//   - PanicException, the interned names of convert.cpp (json), of
//     instant_py.cpp (datetime) and of CounterpartyInfo.to_dict, the pair
//     class strings of classify_py.cpp, collections.abc.Mapping
//     (ots_py.cpp), the class-bound readers and rebuilders that pickles name
//     (ClassBound, pickling.hpp), and the enumeration names of the dict
//     forms (record_dict.cpp).
//
// Built whole, then published by a compare-and-swap on a list that only
// grows (KeptList in ft.hpp), found without any lock:
//   - the dict forms' objects of each record description (record_dict.cpp):
//     its interned keys and its members' offsets, then each shape dict,
//     which nothing changes once it is published (new dicts are copies).
//
// Written once, while the module is imported (the import system runs one
// import of the module at a time), and only read after it is published:
//   - the class objects, the cached module and its interpreter's id
//     (module.cpp).
//
// Settled on first use inside one object, by whichever thread uses it first
// (Kept in ft.hpp, atomic):
//   - a ProtocolAddress object's kept hash: every thread computes the same
//     value, and any store of it is right;
//   - a descriptor's kept verdict on its key text (descriptor_py.cpp): one
//     thread claims it and writes the key, then publishes the state; the
//     key is read only once the state says it is written, and the work
//     without the lock gets a copy of its 32 bytes.
//
// Shared mutable objects, each behind a mutex of its own, which is taken
// either without the lock or for pure C++ steps that never wait on the
// interpreter (so a thread blocked on it never stalls a pause of every
// thread for longer than those steps):
//   - a MerkleTree (merkle_py.cpp): appends, extends and every read take the
//     tree's mutex; a thread that finds it held waits without the lock;
//   - MockAnchor's memory of roots (core/anchor): map look-ups of about a
//     microsecond, under its own mutex, keeping the lock;
//   - the queue directory and whatever the storage layer keeps: queue
//     operations take one process-wide lock (QueueMutex) without the
//     interpreter lock, so that, as before, no two of them overlap within
//     the process; list() lets go of it while its SignalCheck runs the
//     signal handlers, since a thread that holds the interpreter and forks
//     waits for it in the fork handler;
//   - the recently read certificate inputs of timestamp/trust.cpp, under
//     their own mutex (held across fork, as the queue's is) and shared by
//     OpenSSL's reference counts.
//
// Containers other threads may change while we read them:
//   - a list given to MerkleTree (its leaves, hashes or envelopes), and the
//     lists inside a dict given to from_dict, are read one new reference at
//     a time against their current length (list_item in ft.hpp); every
//     other iterable through its iterator, which gives new references.
//     Tuples, `bytes` and `str` never change.
//   - a dict given to from_dict is walked under its own lock (ObjectLock in
//     ft.hpp), each key and value held as a new reference at once;
//   - the calendar answers given to OtsAnchor come from the new list that
//     PyMapping_Items makes for the call; headers are looked up one by one,
//     each value held;
//   - a constructor's keyword dictionary is the call's own (the interpreter
//     builds it for the call), so its borrowed values stay alive.
//
// Immutable after construction, so safe anywhere:
//   - the records inside instances (SoftwareIdentity, PeerIdentityDescriptor
//     apart from its verdict, SignedEnvelope, the queue's path,
//     TimestampRequest, TimestampToken, TsaAnchor with its certificates,
//     OtsProof, OtsRequest, OtsAnchor), kept alive during the work by the
//     call's own references;
//   - the bytes of `bytes` and `str` arguments;
//   - the certificates a verification reads: each call parses the token
//     afresh (verifying records the signer in the parsed SignerInfo);
//   - libsodium (initialised once under a function-local static) and
//     OpenSSL's EVP calls (each call has its own context; error queues are
//     per thread); the digests of ots/digests.cpp, fetched once under
//     function-local statics;
//   - the lazily built table of json_number.cpp (a function-local static,
//     whose construction C++ serialises and which calls no Python); the
//     Unicode tables are constant data;
//   - the temporary-name counter and per-thread tags of replace_file.cpp
//     (atomic and thread_local).
//
// The bookkeeping of this file (how many calls are out, whether the process
// is closing, whether the exit hook is registered) is atomic, ordered so
// that the exit hook sees every call it must wait for.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <type_traits>

#include "python/guard.hpp"

namespace zun::py {

// Called with the lock held. Whether work may run without it: false once
// the interpreter has begun to exit, since a thread that takes the lock back
// while the interpreter finalises is ended by it in the middle of our frames.
// The first call arranges for exit to wait until every released call has
// taken the lock back.
bool begin_release() noexcept;
// Called with the lock held again, after work begun by begin_release.
void end_release() noexcept;

// Runs `work` with the interpreter lock released, and returns its result.
// `work` must neither touch a Python object nor raise a Python exception;
// everything it reads must stay alive and unchanged meanwhile. Called with
// the lock held; it holds it again on return, and when `work` throws.
template <class Work>
std::invoke_result_t<Work&> without_gil(Work&& work) {
    if (!begin_release()) return work();
    struct Reacquire {
        PyThreadState* const state;
        explicit Reacquire(PyThreadState* released) noexcept : state(released) {}
        Reacquire(const Reacquire&) = delete;
        Reacquire& operator=(const Reacquire&) = delete;
        ~Reacquire() {
            PyEval_RestoreThread(state);
            end_release();
        }
    } reacquire(PyEval_SaveThread());
    return work();
}

// The lock of the queue operations. Recursive, because list()'s SignalCheck
// runs Python code (signal handlers, and from 3.12 on the garbage
// collector's finalisers) while it holds it when the work keeps the
// interpreter lock (begin_release refused), and that code may use a queue
// in turn, which then runs within the list(). Not std::recursive_mutex: a
// forked child must be able to let go of the one its forking thread took,
// and a recursive pthread mutex refuses that to a thread of another id,
// which the child's is.
class QueueMutex {
public:
    void lock() noexcept;
    void unlock() noexcept;

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0;  // changed by the owner only
};

// Long work without the lock asks one of these between its steps (each a
// few milliseconds at most) whether to stop. Signal handlers run only with
// the lock held, so Ctrl-C would otherwise wait for the end of the work: at
// most every kInterval, and only in the thread that runs the handlers, the
// check takes the lock back for a moment and runs them. True once one has
// raised (KeyboardInterrupt); the work then stops at once, leaving what it
// changes as it was before the call, and without_gil_until_signal raises
// the exception when the lock is held again.
class SignalCheck {
public:
    // Well under the tenth of a second within which Ctrl-C must answer, and
    // long enough that a thread running Python, which may keep the lock for
    // up to the switch interval (5 ms) each time, slows the work by a tenth
    // at most.
    static constexpr std::chrono::milliseconds kInterval{40};

    bool operator()() noexcept {
        if (raised_) return true;
        if (!handles_signals_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        next_ = now + kInterval;
        return run_handlers();
    }
    bool raised() const noexcept { return raised_; }

    // Lets go of `lock` (held by the work) while the handlers run, and takes
    // it again after. Taking the interpreter back while holding it could
    // wait for ever: a thread that holds the interpreter and forks waits in
    // its fork handler for the queue's lock (gil.cpp).
    void unlock_while_handling(std::unique_lock<QueueMutex>& lock) noexcept { unlocked_ = &lock; }

    // Called with the lock held, where the work begins.
    SignalCheck() noexcept;
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

private:
    template <class Work>
    friend std::invoke_result_t<Work&, SignalCheck&> without_gil_until_signal(Work&& work);

    bool run_handlers() noexcept;

    PyThreadState* released_ = nullptr;  // null while the work keeps the lock
    std::unique_lock<QueueMutex>* unlocked_ = nullptr;
    bool handles_signals_;
    bool raised_ = false;
    std::chrono::steady_clock::time_point next_;
};

// without_gil for long work that stops when a signal handler raises:
// `work` gets a SignalCheck to ask between its steps. Raises the handler's
// exception (throws PythonError) once the lock is held again; otherwise
// returns the work's result.
template <class Work>
std::invoke_result_t<Work&, SignalCheck&> without_gil_until_signal(Work&& work) {
    SignalCheck check;
    auto run = [&]() -> std::invoke_result_t<Work&, SignalCheck&> {
        if (!begin_release()) return work(check);
        struct Reacquire {
            SignalCheck& check;
            ~Reacquire() {
                PyEval_RestoreThread(check.released_);
                check.released_ = nullptr;
                end_release();
            }
        } reacquire{check};
        check.released_ = PyEval_SaveThread();
        return work(check);
    };
    auto result = run();
    if (check.raised()) throw PythonError{};
    return result;
}

// For long work that holds the lock between its steps: runs the signal
// handlers, and throws PythonError when one raised.
void raise_pending_signals();

// Serialises the queue operations of the process; taken only with the
// interpreter lock released, so that a thread waiting for it never holds
// the lock that the holder needs to finish.
QueueMutex& queue_mutex() noexcept;

}  // namespace zun::py
