#!/usr/bin/env python3
"""Write the fixed time-stamp tokens that outlive the run that made them: tests/data/timestamp/
(for the distributable wheel's check and the benchmark) and fuzz/seeds-timestamp/ (the fuzz
target's starting points).

A local TSA (examples/local_tsa.py, the `openssl` command) stamps SHA-256("batch") with a
nonce. Its certificates are valid for ten years from the day this runs; a verification checks
them at the token's genTime, so the tokens keep verifying after that. Running it again makes
new keys and new tokens: commit all of its output together.

Files in tests/data/timestamp/: root.pem, intermediate.pem, response.tsr (a TimeStampResp whose
token embeds the TSA's and the intermediate's certificates), response-signer-only.tsr (only the
TSA's certificate embedded; some parsers want a certificate set in DER order, which OpenSSL
does not keep for several), and rejection.tsr (a refused request).

Usage: tools/gen_timestamp_data.py
"""
import hashlib
import pathlib
import shutil
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "examples"))

from local_tsa import LocalTsa, openssl  # noqa: E402

DIGEST = hashlib.sha256(b"batch").digest()


def query(*options):
    return openssl("ts", "-query", "-digest", DIGEST.hex(), "-sha256", *options)


def main():
    data = REPO / "tests" / "data" / "timestamp"
    seeds = REPO / "fuzz" / "seeds-timestamp"
    for directory in (data, seeds):
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
    with tempfile.TemporaryDirectory() as work:
        tsa = LocalTsa(work, name="Fixed TSA")
        full = tsa.reply(query("-cert"))
        (data / "root.pem").write_bytes(tsa.root_pem)
        (data / "intermediate.pem").write_bytes(tsa.intermediate_pem)
        (data / "response.tsr").write_bytes(full)
        (data / "response-signer-only.tsr").write_bytes(tsa.reply(query("-cert"), chain=False))
        (data / "rejection.tsr").write_bytes(tsa.reply(query("-tspolicy", "1.2.3.99")))

        # The fuzz target verifies each input against the last certificate it embeds, so the
        # seeds that carry the root reach the end of the chain check.
        token_path = pathlib.Path(work) / "token.der"
        openssl("ts", "-reply", "-in", data / "response.tsr", "-token_out", "-out", token_path)
        (seeds / "response.der").write_bytes(full)
        (seeds / "token.der").write_bytes(token_path.read_bytes())
        (seeds / "rejection.der").write_bytes((data / "rejection.tsr").read_bytes())
        (seeds / "without-certificates.der").write_bytes(tsa.reply(query()))
        # The target also reads each input as a request.
        (seeds / "request.der").write_bytes(query("-cert", "-tspolicy", "1.2.3.4"))
        (seeds / "sha512.der").write_bytes(tsa.reply(openssl("ts", "-query", "-digest", "ab" * 64, "-sha512", "-cert")))
        openssl("cms", "-verify", "-noverify", "-inform", "DER", "-in", token_path, "-out", tsa.dir / "tst.der")
        (tsa.dir / "chain.pem").write_bytes(tsa.intermediate_pem + tsa.root_pem)
        for name, options in [("keyid-with-root", ["-cades", "-keyid", "-certfile", tsa.dir / "chain.pem"]),
                              ("no-attributes", ["-noattr"])]:
            openssl("cms", "-sign", "-binary", "-nodetach", "-in", tsa.dir / "tst.der", "-econtent_type",
                    "id-smime-ct-TSTInfo", "-signer", tsa.signer, "-inkey", tsa.signer.with_suffix(".key"),
                    "-md", "sha256", "-nosmimecap", "-outform", "DER", "-out", seeds / f"{name}.der", *options)
    print(f"wrote {data.relative_to(REPO)}/ and {seeds.relative_to(REPO)}/")


if __name__ == "__main__":
    main()
