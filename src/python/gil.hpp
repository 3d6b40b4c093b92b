// Native work with the interpreter lock released, so that other Python
// threads run meanwhile: Ed25519 signing and verification, every queue
// operation's file-system steps and item parsing, the hashing of Merkle
// leaves in batches (and of single leaves of 16 KiB or more), time-stamp
// token verification, and reading, rewriting and walking OpenTimestamps
// proofs of 16 KiB or more. Releasing changes no
// result, message or file; it only lets other threads run.
//
// What relies on the interpreter lock, and what does not:
//
// Guarded by the lock (touched only between conversions, never inside work
// given to without_gil):
//   - every PyObject: arguments, results, the cached module, the class
//     objects, PanicException, the interned names of convert.cpp, the pair
//     class strings of classify_py.cpp, the datetime names of instant_py.cpp;
//   - a descriptor's kept verdict on its key text (descriptor_py.cpp): it is
//     settled before the lock is released and the work gets a copy of the
//     32 key bytes;
//   - a ProtocolAddress object's kept hash (address_py.cpp);
//   - the bookkeeping of this file (how many calls are out, whether the
//     process is closing), apart from the reset after fork.
//
// Safe without the lock:
//   - the records inside instances (SoftwareIdentity, PeerIdentityDescriptor,
//     SignedEnvelope, the queue's path, TimestampRequest, TimestampToken,
//     TsaAnchor with its certificates, OtsProof, OtsRequest, OtsAnchor):
//     immutable after construction, and
//     their objects are kept alive by the work's own references;
//   - the certificates a verification reads: each call parses the token
//     afresh (verifying records the signer in the parsed SignerInfo), and
//     the recently read certificate inputs of timestamp/trust.cpp are kept
//     under their own mutex (held across fork, as the queue's is) and
//     shared by OpenSSL's reference counts;
//   - the bytes of `bytes` and `str` arguments: immutable, kept alive the
//     same way;
//   - libsodium (initialised once under a function-local static) and
//     OpenSSL's EVP calls (each call has its own context; error queues are
//     per thread); the digests of ots/digests.cpp, fetched once under
//     function-local statics;
//   - the lazily built table of json_number.cpp (a function-local static,
//     whose construction C++ serialises); the Unicode tables are constant
//     data;
//   - the temporary-name counter and per-thread tags of replace_file.cpp
//     (atomic and thread_local);
//   - the queue directory, and whatever state the storage layer keeps: queue
//     operations take one process-wide mutex while the lock is released, so
//     that, as before, no two of them overlap within the process;
//   - MockAnchor's memory of roots, guarded by its own mutex. Its operations
//     are map look-ups of about a microsecond and keep the lock.
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

    // Called with the lock held, where the work begins.
    SignalCheck() noexcept;
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

private:
    template <class Work>
    friend std::invoke_result_t<Work&, SignalCheck&> without_gil_until_signal(Work&& work);

    bool run_handlers() noexcept;

    PyThreadState* released_ = nullptr;  // null while the work keeps the lock
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

// The lock of the queue operations. Recursive, because list()'s SignalCheck
// runs Python code (signal handlers, and from 3.12 on the garbage
// collector's finalisers) while it holds it, and that code may use a queue
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

// Serialises the queue operations of the process; taken only with the
// interpreter lock released, so that a thread waiting for it never holds
// the lock that the holder needs to finish.
QueueMutex& queue_mutex() noexcept;

}  // namespace zun::py
