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
