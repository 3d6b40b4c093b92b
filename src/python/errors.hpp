// The one table from internal failure kinds to Python exceptions.
#pragma once

#include <cstdint>
#include <string_view>

namespace zun {
struct AnchorError;
struct JsonError;
struct QueueError;
struct RandomSourceError;
enum class VerifyOutcome : std::uint8_t;
namespace merkle {
struct ProofError;
}
}

namespace zun::py {

enum class Failure {
    InvalidJson,             // ValueError "invalid <Class> JSON: <detail>"
    Serialize,               // ValueError "serialize <Class>: <detail>"
    QueueJson,               // ValueError "queue JSON error: <detail>"
    QueueIo,                 // OSError "queue I/O error at <path>: <cause>"
    QueueId,                 // ValueError for an id that names no usable file
    AnchorNetwork,           // ConnectionError
    AnchorBadResponse,       // ValueError
    AnchorAlreadySubmitted,  // ValueError
    AnchorNotFound,          // KeyError
    AnchorUnsupported,       // NotImplementedError
    WrongLength,             // ValueError "<what> must be exactly 32 bytes"
    SignatureInvalid,        // ValueError "signature verification failed: <detail>"
    InvalidPublicKey,        // ValueError "invalid Ed25519 public key bytes"
    BadAddress,              // ValueError (malformed kiv:// URI, unknown class)
    ProofInvalid,            // ValueError "merkle proof does not verify: <reason>"
    OutOfRange,              // IndexError: an index or size a tree does not have
    InvalidArgument,         // ValueError for an argument's value, the text naming it
};

// Raises the exception of `kind` with `message` as its only argument and
// throws PythonError.
[[noreturn]] void raise(Failure kind, std::string_view message);

// "invalid <record> JSON: <reader message at line L column C>".
[[noreturn]] void raise_invalid_json(std::string_view record, const JsonError& error);

// OSError for an io failure, ValueError for a json one, each with the
// error's display text as the only argument.
[[noreturn]] void raise_queue_error(const QueueError& error);

// The exception of the anchor failure's kind, with its full message.
[[noreturn]] void raise_anchor_error(const AnchorError& error);

// PanicException "Error: <description>": the OS random source failing is an
// invariant of the process, not an error of the call.
[[noreturn]] void raise_random_failure(const RandomSourceError& failure);

// "signature verification failed: BadPublicKey" or "...: BadSignature";
// `outcome` is a failure.
[[noreturn]] void raise_verify_failure(VerifyOutcome outcome);

// "merkle proof does not verify: <reason>".
[[noreturn]] void raise_proof_error(const merkle::ProofError& error);
[[noreturn]] void raise_proof_error(std::string_view reason);

}  // namespace zun::py
