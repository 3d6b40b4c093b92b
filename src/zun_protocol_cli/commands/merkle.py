"""`zun-protocol merkle`: the Merkle tree of an archive of envelopes, the tree a batch is anchored
by: its root, the inclusion proof of one leaf, and checking such a proof later against a root.

The archive is read as a stream; the tree keeps the leaves' hashes only, so memory grows by some
40 bytes per line, whatever the lines' size."""
from __future__ import annotations

import argparse
import binascii
from collections.abc import Sequence
from typing import Any

from zun_protocol import InclusionProof, MerkleTree

from zun_protocol_cli.errors import EXIT_OK, CommandError, UsageError
from zun_protocol_cli.inputs import (
    batches, envelope_of, open_archive, read_small_file, read_small_text, standard_input_once, without_line_break,
)
from zun_protocol_cli.output import Progress, file_name, json_line

LEAVES = ("Leaves: by default each line is an envelope, and its leaf is the envelope's canonical JSON "
          "(envelope.to_json() as UTF-8, as MerkleTree.of_envelopes makes them), whatever the spacing or "
          "key order of the line; blank lines are skipped. With --raw each line is a leaf as it is, its "
          "bytes without the line break that ends it (\\n or \\r\\n); every line counts, blank ones too.")


def register(subcommands: Any) -> None:
    merkle = subcommands.add_parser(
        "merkle", help="the Merkle tree of an archive: its root, inclusion proofs",
        description="The RFC 9162 Merkle tree of an NDJSON archive of envelopes, in line order: "
                    "its root, the proof that one leaf is in it, and checking such a proof.",
        epilog=LEAVES)
    actions = merkle.add_subparsers(title="actions", dest="action", metavar="ACTION", required=True)
    leaves = argparse.ArgumentParser(add_help=False)
    leaves.add_argument("--raw", action="store_true", help="each line's bytes are its leaf (see below)")

    def action(name: str, help: str, description: str) -> argparse.ArgumentParser:
        parser: argparse.ArgumentParser = actions.add_parser(
            name, parents=[leaves], help=help, description=description, epilog=LEAVES)
        return parser

    root = action("root", "the root and the number of leaves",
                  "Prints the root of the archive's tree in hex, and its number of leaves.")
    root.add_argument("--json", action="store_true", help='one JSON object: {"root": HEX, "tree_size": N}')
    root.add_argument("archive", metavar="ARCHIVE", help="the NDJSON archive; - for standard input")
    root.set_defaults(run=run_root)

    prove = action("prove", "the inclusion proof of one leaf",
                   "Prints the inclusion proof of leaf INDEX as JSON: the proof's own fields "
                   "(leaf_index, tree_size, hashes: what InclusionProof.from_json reads), then the "
                   "leaf's hash, the root and the leaf's line number, for whoever checks it later.")
    prove.add_argument("archive", metavar="ARCHIVE", help="the NDJSON archive; - for standard input")
    prove.add_argument("index", metavar="INDEX", type=leaf_index, help="the leaf's index, from 0")
    prove.set_defaults(run=run_prove)

    verify = action("verify", "check an inclusion proof against a root",
                    "Checks that the leaf of FILE is in the tree whose root is HEX, by the proof. The "
                    "root must come from where it is trusted (an anchor's receipt), never from the "
                    "proof's file. A root proves that the leaf is in its tree, not where: the proof's "
                    "leaf_index and tree_size are its own claims, as a proof for leaf 1 of 2 leaves "
                    "also holds as leaf 2 of 3, 4 of 5, and so on. With --size, the tree size from a "
                    "trusted record, the proof must be for a tree of that size, and the index is then "
                    "proved too. Exit status 1, with the reason, when the proof does not hold.")
    verify.add_argument("proof", metavar="PROOF.json", help="the proof, as `merkle prove` prints it or as "
                                                            "InclusionProof.to_json() writes it; - for standard input")
    verify.add_argument("--leaf", metavar="FILE", required=True,
                        help="the envelope's JSON (with --raw: the one line, as bytes); - for standard input")
    verify.add_argument("--root", metavar="HEX", type=merkle_root, required=True, help="the root, 64 hex digits")
    verify.add_argument("--size", metavar="N", type=tree_size,
                        help="the number of leaves of the tree of that root, from a trusted record (as "
                             "`merkle root` prints it beside the root)")
    verify.set_defaults(run=run_verify)


def leaf_index(text: str) -> int:
    if not text.isdigit() or not text.isascii():
        raise argparse.ArgumentTypeError(f"not a leaf index (a whole number from 0): {text!r}")
    return int(text)


def tree_size(text: str) -> int:
    if not text.isdigit() or not text.isascii() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"not a tree size (a whole number from 1): {text!r}")
    return int(text)


def merkle_root(text: str) -> bytes:
    """A root on the command line: 64 hex digits, in either case."""
    try:
        root = binascii.a2b_hex(text)
    except ValueError:
        root = b""
    if len(root) != 32:
        raise argparse.ArgumentTypeError(f"not a Merkle root (64 hex digits): {text!r}")
    return root


def archive_tree(name: str, raw: bool, index: int | None = None) -> tuple[MerkleTree, int | None]:
    """The tree of the archive's leaves, and the line number of leaf `index` when it has one."""
    tree = MerkleTree()
    line_of_index = None
    stream, size = open_archive(name)
    with stream, Progress(size, "B", "hashing", scale=True) as progress:
        try:
            for first, lines, read in batches(stream, name):
                numbers: Sequence[int]
                if raw:
                    numbers, leaves = range(first, first + len(lines)), [without_line_break(line) for line in lines]
                else:
                    numbers, leaves = envelope_leaves(name, first, lines)
                if index is not None and line_of_index is None and index < tree.size + len(leaves):
                    line_of_index = numbers[index - tree.size]
                tree.extend(leaves)
                progress.update(read)
        except OSError as failure:  # reading the archive
            raise CommandError(f"{file_name(name)}: {failure.strerror}") from None
    return tree, line_of_index


def envelope_leaves(name: str, first: int, lines: list[bytes]) -> tuple[list[int], list[bytes]]:
    numbers, leaves = [], []
    for number, line in enumerate(lines, first):
        if line.isspace():
            continue
        try:
            leaves.append(envelope_of(line).to_json().encode())
        except ValueError as failure:
            # The archive's tree is undefined with this line in it: no root is better than a wrong one.
            raise UsageError(f"{file_name(name)}: line {number}: {failure} (--raw takes lines as they are)") from None
        numbers.append(number)
    return numbers, leaves


def run_root(args: argparse.Namespace) -> int:
    tree, _ = archive_tree(args.archive, args.raw)
    if args.json:
        json_line({"root": tree.root().hex(), "tree_size": tree.size})
    else:
        print(f"{tree.root().hex()} {tree.size} leaves")
    return EXIT_OK


def run_prove(args: argparse.Namespace) -> int:
    tree, line = archive_tree(args.archive, args.raw, args.index)
    try:
        proof = tree.inclusion_proof(args.index)
    except IndexError as failure:
        raise UsageError(str(failure)) from None
    json_line({**proof.to_dict(), "leaf_hash": tree.leaf_hash(args.index).hex(), "root": tree.root().hex(),
               "line": line})
    return EXIT_OK


def leaf_of_file(name: str, raw: bool) -> bytes:
    if raw:
        leaf = without_line_break(read_small_file(name))
        if b"\n" in leaf:
            raise UsageError(f"{file_name(name)}: more than one line; with --raw the leaf is one line of an archive")
        return leaf
    try:
        return envelope_of(read_small_file(name)).to_json().encode()
    except ValueError as failure:
        raise UsageError(f"{file_name(name)}: {failure} (--raw takes the file as it is)") from None


def run_verify(args: argparse.Namespace) -> int:
    standard_input_once(args.proof, args.leaf)
    try:
        proof = InclusionProof.from_json(read_small_text(args.proof))
    except ValueError as failure:
        raise UsageError(f"{file_name(args.proof)}: {failure}") from None
    leaf = leaf_of_file(args.leaf, args.raw)
    if args.size is not None and proof.tree_size != args.size:
        raise CommandError(f"merkle proof does not verify: it is for a tree of {proof.tree_size} leaves, "
                           f"not of the {args.size} given with --size")
    try:
        proof.verify(leaf, args.root)
    except ValueError as failure:
        raise CommandError(str(failure)) from None
    root = args.root.hex()
    if args.size is None:
        print(f"the leaf is in the tree of root {root}; the proof says it is leaf {proof.leaf_index} of "
              f"{proof.tree_size}, which the root alone does not prove (--size checks the tree size)")
    else:
        print(f"leaf {proof.leaf_index} of {proof.tree_size} is in the tree of root {root}")
    return EXIT_OK
