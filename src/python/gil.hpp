// Native work with the interpreter lock released, so that other Python
// threads run meanwhile: Ed25519 signing and verification, every queue
// operation's file-system steps and item parsing, the hashing of Merkle
// leaves in batches (and of single leaves of 16 KiB or more), and time-stamp
// token verification. Releasing changes no
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
//     instant_py.cpp (datetime) and of TsaAnchor's pickle, the pair class
//     strings of classify_py.cpp, copyreg.__newobj_ex__, and the class-bound
//     readers that pickles name (ClassBound, pickling.hpp).
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
//     operations take one process-wide mutex without the lock, so that, as
//     before, no two of them overlap within the process;
//   - the recently read certificate inputs of timestamp/trust.cpp, under
//     their own mutex (held across fork, as the queue's is) and shared by
//     OpenSSL's reference counts.
//
// Containers other threads may change while we read them:
//   - a list given to MerkleTree (its leaves, hashes or envelopes) is read
//     one new reference at a time against its current length (list_item in
//     ft.hpp); every other iterable through its iterator, which gives new
//     references. Tuples, `bytes` and `str` never change.
//   - a constructor's keyword dictionary is the call's own (the interpreter
//     builds it for the call), so its borrowed values stay alive.
//
// Immutable after construction, so safe anywhere:
//   - the records inside instances (SoftwareIdentity, PeerIdentityDescriptor
//     apart from its verdict, SignedEnvelope, the queue's path,
//     TimestampRequest, TimestampToken, TsaAnchor with its certificates),
//     kept alive during the work by the call's own references;
//   - the bytes of `bytes` and `str` arguments;
//   - the certificates a verification reads: each call parses the token
//     afresh (verifying records the signer in the parsed SignerInfo);
//   - libsodium (initialised once under a function-local static) and
//     OpenSSL's EVP calls (each call has its own context; error queues are
//     per thread);
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

#include <mutex>
#include <type_traits>

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

// Serialises the queue operations of the process; taken only with the
// interpreter lock released, so that a thread waiting for it never holds
// the lock that the holder needs to finish.
std::mutex& queue_mutex() noexcept;

}  // namespace zun::py
