"""`zun-protocol anchor`: a batch's Merkle root time-stamped by an RFC 3161 time-stamping
authority (TSA), and the receipt checked later, offline; OpenTimestamps receipts checked against
block headers, and .ots proofs shown. Like the module, the command opens no connection: the
request goes to the TSA by whatever HTTP client the host has."""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from zun_protocol import AnchorReceipt, OtsAnchor, OtsProof, TimestampRequest, TsaAnchor

from zun_protocol_cli.commands.merkle import merkle_root
from zun_protocol_cli.errors import EXIT_FAULT, EXIT_OK, CommandError, UsageError
from zun_protocol_cli.inputs import STDIN, read_small_file, read_small_text, standard_input_once
from zun_protocol_cli.output import file_name, shown

DEFAULT_ANCHOR_ID = "tsa"

POST = ("The TSA takes the request as an HTTP POST, for instance: curl --data-binary @REQ.tsq "
        "-H 'Content-Type: application/timestamp-query' -o RESP.tsr URL")


def register(subcommands: Any) -> None:
    anchor = subcommands.add_parser(
        "anchor", help="time-stamp a Merkle root with a TSA; check receipts and .ots proofs",
        description="Anchors a batch's Merkle root with an RFC 3161 time-stamping authority (TSA): "
                    "`request` writes the request to send it, `receipt` verifies its answer and prints "
                    "the receipt to keep beside the batch, `verify` checks a kept receipt offline (a TSA's, "
                    "or an OpenTimestamps one against Bitcoin block headers), `ots-info` shows an .ots proof.",
        epilog=POST)
    actions = anchor.add_subparsers(title="actions", dest="action", metavar="ACTION", required=True)

    request = actions.add_parser(
        "request", help="write the time-stamp request of a root",
        description="Writes the DER TimeStampReq of ROOT_HEX: the root is the SHA-256 imprint as it "
                    "is (not hashed again), with a fresh 64-bit nonce, asking the TSA to put its "
                    "certificate in the token. Keep REQ.tsq until the answer comes: `anchor receipt` "
                    "checks the answer against it, its nonce included.",
        epilog=POST)
    request.add_argument("root", metavar="ROOT_HEX", type=merkle_root, help="the Merkle root, 64 hex digits")
    request.add_argument("-o", "--output", metavar="REQ.tsq", required=True,
                         help="where to write the request, a new file; - for standard output")
    request.add_argument("--policy", metavar="OID", help="the TSA policy to ask for (default: the TSA's choice)")
    request.set_defaults(run=run_request)

    receipt_trust, verify_trust = trust_options(roots_required=True), trust_options(roots_required=False)

    receipt = actions.add_parser(
        "receipt", parents=[receipt_trust], help="verify the TSA's answer and print the receipt",
        description="Verifies the TSA's answer to the request in full (the token's signature, the "
                    "TSA's certificate and its chain to --roots at the token's time, the imprint, the "
                    "request's nonce) and prints the receipt JSON to keep beside the batch. Exit status "
                    "1, with the reason, when the answer does not verify.")
    receipt.add_argument("--request", metavar="REQ.tsq", required=True, help="the request that was sent")
    receipt.add_argument("--response", metavar="RESP.tsr", required=True,
                         help="the TSA's answer: a DER TimeStampResp, or a bare token; - for standard input")
    receipt.add_argument("--policy", metavar="OID",
                         help="the policy the token must name (default: the request's, when it asked for one)")
    receipt.add_argument("--anchor-id", metavar="ID", default=DEFAULT_ANCHOR_ID,
                         help="the receipt's anchor_id: your name for this TSA (default: %(default)s)")
    receipt.set_defaults(run=run_receipt)

    verify = actions.add_parser(
        "verify", parents=[verify_trust], help="check a receipt offline and print its proof",
        description="Verifies the receipt offline and prints the proof JSON. A TSA's receipt (nist_tsa, "
                    "which needs --roots): its token against the receipt's Merkle root, confirmed with the "
                    "TSA's time. An OpenTimestamps receipt (open_timestamps): its proof against the Bitcoin "
                    "block headers of --headers, confirmed with the earliest confirmed block's time, or "
                    "not confirmed (exit status 1), saying which headers it needs or which calendars it "
                    "waits for. Exit status 1, with the reason, when the receipt does not verify.")
    verify.add_argument("receipt", metavar="RECEIPT.json", help="the receipt; - for standard input")
    verify.add_argument("--policy", metavar="OID", help="the policy the token must name")
    verify.add_argument("--headers", metavar="FILE",
                        help="open_timestamps: a JSON object from block height to the raw header in hex, as "
                             "`bitcoin-cli getblockheader <hash> false` prints it; take them from your own node")
    verify.add_argument("--chain", choices=("mainnet", "regtest"), default="mainnet",
                        help="open_timestamps: whose proof-of-work limit the headers must meet (default: %(default)s)")
    verify.set_defaults(run=run_verify)

    info = actions.add_parser(
        "ots-info", help="show an .ots proof's digest and attestations",
        description="Prints the digest of an OpenTimestamps proof (an .ots file), then each attestation "
                    "on a line of its own, in the proof's canonical order, with the message it attests.")
    info.add_argument("proof", metavar="FILE.ots", help="the proof; - for standard input")
    info.set_defaults(run=run_ots_info)


def trust_options(roots_required: bool) -> argparse.ArgumentParser:
    trust = argparse.ArgumentParser(add_help=False)
    trust.add_argument("--roots", metavar="PEM", required=roots_required,
                       help="the certificates the TSA's chain must end at: PEM (one or more) or DER (one)")
    trust.add_argument("--intermediates", metavar="PEM", help="certificates between the TSA's and the roots, "
                                                              "when its tokens do not carry them")
    trust.add_argument("--tsa-certificate", metavar="FILE", help="the TSA's own certificate, when its tokens "
                                                                 "do not carry it")
    trust.add_argument("--signer-common-name", metavar="CN", help="the common name the TSA's certificate must have")
    return trust


def run_request(args: argparse.Namespace) -> int:
    try:
        request = TimestampRequest(args.root, policy=args.policy)
    except ValueError as failure:  # a policy that is not a dotted OID
        raise UsageError(by_option(failure, policy=args.policy)) from None
    der = request.to_der()
    if args.output == STDIN:
        if sys.stdout.isatty():
            raise UsageError("the request is binary DER: name a file with -o, or send standard output elsewhere")
        sys.stdout.buffer.write(der)
        return EXIT_OK
    try:
        # Never over an earlier request: its nonce is what checks the answer to it.
        with open(args.output, "xb") as file:
            file.write(der)
    except FileExistsError:
        raise UsageError(f"{file_name(args.output)}: already exists, and the TSA's answer to that request is "
                         "checked against its nonce: name a new file") from None
    except OSError as failure:
        raise UsageError(f"{file_name(args.output)}: {failure.strerror}") from None
    policy = f", policy {request.policy}" if request.policy else ""
    print(f"{file_name(args.output)}: time-stamp request of root {args.root.hex()}, nonce {request.nonce:#x}{policy}")
    return EXIT_OK


def by_option(failure: ValueError, **given: str | None) -> str:
    """The module's message about an argument, which starts with the parameter's name, told with
    the option and what it was given instead."""
    message = str(failure)
    for parameter, value in given.items():
        if value is not None and message.startswith(f"{parameter}: "):
            return f"--{parameter.replace('_', '-')} {shown(value)}: {message[len(parameter) + 2:]}"
    return message


def tsa_anchor(args: argparse.Namespace, anchor_id: str, policy: str | None) -> TsaAnchor:
    def optional(name: str | None) -> bytes | None:
        return None if name is None else read_small_file(name)

    try:
        return TsaAnchor(anchor_id, read_small_file(args.roots), intermediates=optional(args.intermediates) or b"",
                         tsa_certificate=optional(args.tsa_certificate), policy=policy,
                         signer_common_name=args.signer_common_name)
    except ValueError as failure:  # certificates that cannot be read, a policy that is not an OID
        raise UsageError(by_option(failure, roots=file_name(args.roots), policy=policy,
                                   intermediates=args.intermediates and file_name(args.intermediates),
                                   tsa_certificate=args.tsa_certificate and file_name(args.tsa_certificate))) from None


def run_receipt(args: argparse.Namespace) -> int:
    standard_input_once(args.request, args.response, args.roots, args.intermediates, args.tsa_certificate)
    try:
        request = TimestampRequest.from_der(read_small_file(args.request))
    except ValueError as failure:  # the module names its parameter, `data`, where the file is meant
        raise UsageError(f"{file_name(args.request)}: {str(failure).removeprefix('data: ')}") from None
    # Without --policy the anchor holds the TSA to the policy the request asked for, if any.
    anchor = tsa_anchor(args, args.anchor_id, args.policy)
    response = read_small_file(args.response)
    try:
        receipt = anchor.receipt(request, response)
    except (ValueError, NotImplementedError) as failure:
        raise CommandError(str(failure)) from None
    print(receipt.to_json())
    return EXIT_OK


def run_verify(args: argparse.Namespace) -> int:
    standard_input_once(args.receipt, args.roots, args.intermediates, args.tsa_certificate, args.headers)
    try:
        receipt = AnchorReceipt.from_json(read_small_text(args.receipt))
    except ValueError as failure:
        raise UsageError(f"{file_name(args.receipt)}: {failure}") from None
    if receipt.anchor_kind == "open_timestamps":
        return verify_ots(args, receipt)
    if args.roots is None:
        raise UsageError(f"{file_name(args.receipt)}: a {receipt.anchor_kind} receipt is verified against "
                         "the TSA's roots: give --roots")
    anchor = tsa_anchor(args, receipt.anchor_id, args.policy)
    try:
        proof = anchor.verify(receipt)
    except (ValueError, NotImplementedError) as failure:  # NotImplementedError: a receipt of another kind
        raise CommandError(str(failure)) from None
    print(proof.to_json())
    return EXIT_OK


def read_headers(name: str) -> dict[int, bytes]:
    """A JSON object from block height (decimal) to the raw header in hex."""
    try:
        given = json.loads(read_small_text(name))
    except ValueError as failure:
        raise UsageError(f"{file_name(name)}: not JSON: {failure}") from None
    if not isinstance(given, dict):
        raise UsageError(f"{file_name(name)}: not a JSON object from block height to header hex")
    headers = {}
    for height, raw in given.items():
        if not height.isascii() or not height.isdigit():
            raise UsageError(f"{file_name(name)}: {shown(json.dumps(height))} is not a block height")
        try:
            headers[int(height)] = bytes.fromhex(raw)
        except (TypeError, ValueError):
            raise UsageError(f"{file_name(name)}: the header of block {height} is not hex") from None
    return headers


def verify_ots(args: argparse.Namespace, receipt: AnchorReceipt) -> int:
    headers = read_headers(args.headers) if args.headers is not None else {}
    try:
        proof = OtsAnchor(receipt.anchor_id, [], chain=args.chain).verify(receipt, headers)
    except (ValueError, NotImplementedError) as failure:
        raise CommandError(str(failure)) from None
    print(proof.to_json())
    return EXIT_OK if proof.confirmed else EXIT_FAULT


def run_ots_info(args: argparse.Namespace) -> int:
    try:
        proof = OtsProof.from_bytes(read_small_file(args.proof))
    except ValueError as failure:
        raise UsageError(f"{file_name(args.proof)}: {failure}") from None
    try:
        attestations = proof.attestations
    except NotImplementedError as failure:  # a hash the linked libcrypto lacks
        raise CommandError(f"{file_name(args.proof)}: {failure}") from None
    print(f"{proof.hash_algorithm} {proof.digest.hex()}")
    for kind, value, commitment in attestations:
        if kind == "pending":
            what = f"pending at {value}"
        elif kind == "unknown":
            what = f"unknown attestation {value.hex()}"
        else:
            what = f"{kind} block {value}"
        print(f"{what}, commitment {commitment.hex()}")
    return EXIT_OK
