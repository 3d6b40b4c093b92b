"""RFC 3161 tokens read and verified offline, against rfc3161-client (a native verifier written
in Rust), on the same token and certificates."""
import hashlib
import itertools
import pathlib

from cryptography import x509
from rfc3161_client import VerifierBuilder, decode_timestamp_response

from _timing import interleaved, report

import zun_protocol as zp

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "timestamp"


def run():
    # rfc3161-client wants the token's certificate set in DER order, which OpenSSL keeps only
    # for a single certificate: the TSA's alone is embedded, the intermediate given apart.
    response = (DATA / "response-signer-only.tsr").read_bytes()
    roots, intermediates = (DATA / "root.pem").read_bytes(), (DATA / "intermediate.pem").read_bytes()
    digest = hashlib.sha256(b"batch").digest()
    from_der = zp.TimestampToken.from_der
    token = from_der(response)
    token.verify(digest, roots=roots, intermediates=intermediates)
    # Theirs takes certificates parsed beforehand; ours takes the bytes and keeps what it read.
    verifier = (VerifierBuilder().add_root_certificate(x509.load_pem_x509_certificate(roots))
                .add_intermediate_certificate(x509.load_pem_x509_certificate(intermediates)).build())
    theirs = decode_timestamp_response(response)
    assert verifier.verify(theirs, digest)
    # Sixteen spellings of the same root, more than the inputs the module keeps read: each new
    # anchor reads its root again.
    spellings = [roots + b"\n" * k for k in range(16)]
    turn = itertools.count()

    t = interleaved({
        "parse": lambda: from_der(response),
        "parse peer": lambda: decode_timestamp_response(response),
        "verify": lambda: token.verify(digest, roots=roots, intermediates=intermediates),
        "verify peer": lambda: verifier.verify(theirs, digest),
        "both": lambda: from_der(response).verify(digest, roots=roots, intermediates=intermediates),
        "both peer": lambda: verifier.verify(decode_timestamp_response(response), digest),
        "read": lambda: zp.TsaAnchor("bench", spellings[next(turn) % 16]),
        # Its certificates decode their key on first use, which reading ours includes.
        "read peer": lambda: x509.load_pem_x509_certificate(roots).public_key(),
    })
    rows = [
        ("TimestampToken.from_der + verify", t["both"], t["both peer"],
         "rfc3161-client decode_timestamp_response + Verifier.verify", 1.0),
        ("from_der", t["parse"], t["parse peer"], "rfc3161-client decode_timestamp_response", 0.5),
        ("verify", t["verify"], t["verify peer"], "rfc3161-client Verifier.verify", None),
        ("reading a certificate (TsaAnchor, PEM root)", t["read"], t["read peer"],
         "cryptography load_pem_x509_certificate + public_key", None),
    ]
    return report(rows, "TimestampToken (ours / rfc3161-client, lower is better)")


if __name__ == "__main__":
    run()
