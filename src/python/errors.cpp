#include "python/errors.hpp"

#include <string>

#include "core/anchor/anchor.hpp"
#include "core/crypto/ed25519.hpp"
#include "core/crypto/random.hpp"
#include "core/merkle/proof.hpp"
#include "core/queue/queue_error.hpp"
#include "core/json/record_json.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {
namespace {

PyObject* exception_type(Failure kind) {
    switch (kind) {
        case Failure::QueueIo: return PyExc_OSError;
        case Failure::AnchorNetwork: return PyExc_ConnectionError;
        case Failure::AnchorNotFound: return PyExc_KeyError;
        case Failure::AnchorUnsupported: return PyExc_NotImplementedError;
        case Failure::OutOfRange: return PyExc_IndexError;
        case Failure::InvalidJson:
        case Failure::Serialize:
        case Failure::QueueJson:
        case Failure::QueueId:
        case Failure::AnchorBadResponse:
        case Failure::AnchorAlreadySubmitted:
        case Failure::WrongLength:
        case Failure::SignatureInvalid:
        case Failure::InvalidPublicKey:
        case Failure::BadAddress:
        case Failure::ProofInvalid:
        case Failure::InvalidArgument: return PyExc_ValueError;
    }
    return PyExc_ValueError;
}

Failure anchor_failure(AnchorError::Kind kind) {
    switch (kind) {
        case AnchorError::Kind::network: return Failure::AnchorNetwork;
        case AnchorError::Kind::bad_response: return Failure::AnchorBadResponse;
        case AnchorError::Kind::already_submitted: return Failure::AnchorAlreadySubmitted;
        case AnchorError::Kind::not_found: return Failure::AnchorNotFound;
        case AnchorError::Kind::unsupported: return Failure::AnchorUnsupported;
    }
    return Failure::AnchorBadResponse;
}

}  // namespace

void raise(Failure kind, std::string_view message) {
    PyObject* type = exception_type(kind);
    Ref text(check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")));
    // Built with the message as the only argument, so that str(e) is the
    // message and OSError leaves errno/strerror/filename as None.
    Ref error(check(PyObject_CallFunctionObjArgs(type, text.get(), nullptr)));
    PyErr_SetObject(type, error.get());
    throw PythonError{};
}

void raise_invalid_json(std::string_view record, const JsonError& error) {
    std::string message = "invalid ";
    message += record;
    message += " JSON: ";
    message += error.text();
    raise(Failure::InvalidJson, message);
}

void raise_queue_error(const QueueError& error) {
    raise(error.kind == QueueError::Kind::io ? Failure::QueueIo : Failure::QueueJson, error.display());
}

void raise_anchor_error(const AnchorError& error) { raise(anchor_failure(error.kind), error.message()); }

void raise_verify_failure(VerifyOutcome outcome) {
    std::string message = "signature verification failed: ";
    message += verify_outcome_name(outcome);
    raise(Failure::SignatureInvalid, message);
}

void raise_proof_error(std::string_view reason) {
    std::string message = "merkle proof does not verify: ";
    message += reason;
    raise(Failure::ProofInvalid, message);
}

void raise_proof_error(const merkle::ProofError& error) { raise_proof_error(error.reason); }

void raise_random_failure(const RandomSourceError& failure) {
    const std::string message = "Error: " + failure.description;
    raise_panic(message.c_str());
    throw PythonError{};
}

}  // namespace zun::py
