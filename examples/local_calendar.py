"""A throwaway OpenTimestamps calendar on 127.0.0.1, for trying the `open_timestamps` anchor offline.

It answers as a public calendar does. `POST /digest` with a digest gives a bare proof tree from
that digest to a pending attestation that names this calendar; `GET /timestamp/<hex>` answers
404 while that message waits, and once `confirm()` has put the waiting messages into a block, the
tree from the message to the block's Bitcoin attestation. Blocks are mined at regtest difficulty
(nBits 0x207fffff, about two tries per header), so their headers pass the header checks with
`chain="regtest"`; `headers` maps each block's height to its raw header, as a node would give it.

Beside the server, the bytes of the .ots format and of Bitcoin blocks, written here from their
public descriptions for the calendar and for the tests: varints, operations, attestations,
proof files, merkle paths and mined headers.
"""
import hashlib
import http.server
import os
import struct
import threading

MAGIC = bytes.fromhex("004f70656e54696d657374616d7073000050726f6f6600bf89e2e884e89294")
SHA1, RIPEMD160, SHA256, KECCAK256 = 0x02, 0x03, 0x08, 0x67
APPEND, PREPEND, REVERSE, HEXLIFY = 0xF0, 0xF1, 0xF2, 0xF3
BITCOIN = bytes.fromhex("0588960d73d71901")
LITECOIN = bytes.fromhex("06869a0d73d71b45")
ETHEREUM = bytes.fromhex("30fe8087b5c7ead7")
PENDING = bytes.fromhex("83dfe30d2ef90c8e")
ACCEPT = "application/vnd.opentimestamps.v1"
REGTEST_BITS = 0x207FFFFF


def varint(value):
    """Unsigned LEB128."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def varbytes(data):
    return varint(len(data)) + data


def op(tag, argument=None):
    """An operation's bytes; the node it leads to follows them."""
    return bytes([tag]) + (b"" if argument is None else varbytes(argument))


def attestation(tag, payload):
    return b"\x00" + tag + varbytes(payload)


def bitcoin(height):
    return attestation(BITCOIN, varint(height))


def pending(url):
    return attestation(PENDING, varbytes(url.encode()))


def node(*items):
    """A node of several items (an attestation, or an operation followed by its node): a branch
    marker before each but the last."""
    return b"".join(b"\xff" + item for item in items[:-1]) + items[-1]


def ots_file(digest, tree, hash_op=SHA256):
    return MAGIC + varint(1) + bytes([hash_op]) + digest + tree


def sha256(data):
    return hashlib.sha256(data).digest()


def double_sha256(data):
    return sha256(sha256(data))


def merkle_path(txids, index):
    """The merkle root of a block of `txids` (as its header stores it) and the operations that lead
    from txids[index] to it. A level of odd length pairs its last hash with itself."""
    level, path = list(txids), b""
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        sibling = level[index ^ 1]
        path += op(PREPEND, sibling) if index & 1 else op(APPEND, sibling)
        path += op(SHA256) + op(SHA256)
        level = [double_sha256(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
        index //= 2
    return level[0], path


def target(bits):
    return (bits & 0x7FFFFF) << 8 * ((bits >> 24) - 3)


def header(merkle_root, *, time, bits=REGTEST_BITS, nonce=0, previous=bytes(32), version=0x20000000):
    return struct.pack("<I32s32sIII", version, previous, merkle_root, time, bits, nonce)


def block_hash(raw):
    """As explorers show it: the double SHA-256 reversed, in hex."""
    return double_sha256(raw)[::-1].hex()


def meets_target(raw):
    return int.from_bytes(double_sha256(raw), "little") <= target(struct.unpack_from("<I", raw, 72)[0])


def mine(merkle_root, *, time, bits=REGTEST_BITS, previous=bytes(32)):
    """A header whose hash meets the target of `bits`: quick at regtest difficulty only."""
    for nonce in range(1 << 32):
        raw = header(merkle_root, time=time, bits=bits, nonce=nonce, previous=previous)
        if meets_target(raw):
            return raw
    raise ValueError("no nonce meets the target")


class LocalCalendar:
    """A calendar at `url`, serving from a thread until `close()` (or the end of a `with`)."""

    def __init__(self, *, height=800_000, time=1_780_000_000):
        self.headers = {}      # block height -> raw header
        self.requests = []     # (method, path, Accept header) of each request, in order
        self._waiting = []     # messages of pending attestations, for the next block
        self._answers = {}     # hex of a message -> its upgrade tree
        self._height, self._time = height, time
        self._lock = threading.Lock()
        calendar = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                calendar._serve(self, calendar._submit)

            def do_GET(self):
                calendar._serve(self, calendar._upgrade)

            def log_message(self, *args):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def confirm(self):
        """Puts every waiting message into a new block after a coinbase transaction, mines its
        header and returns its height; their upgrades are answered from then on."""
        with self._lock:
            self._height += 1
            self._time += 600
            txids = [sha256(b"coinbase %d" % self._height)] + self._waiting
            for index in range(1, len(txids)):
                root, path = merkle_path(txids, index)
                self._answers[txids[index].hex()] = path + bitcoin(self._height)
            previous = double_sha256(self.headers[self._height - 1]) if self._height - 1 in self.headers else bytes(32)
            self.headers[self._height] = mine(merkle_path(txids, 0)[0], time=self._time, previous=previous)
            self._waiting = []
            return self._height

    def _serve(self, request, answer):
        accept = request.headers.get("Accept")
        with self._lock:
            self.requests.append((request.command, request.path, accept))
        length = int(request.headers.get("Content-Length") or 0)
        body = request.rfile.read(length)
        status, content = (406, b"Accept: " + ACCEPT.encode()) if accept != ACCEPT else answer(request.path, body)
        request.send_response(status)
        request.send_header("Content-Type", "application/octet-stream" if status == 200 else "text/plain")
        request.send_header("Content-Length", str(len(content)))
        request.end_headers()
        request.wfile.write(content)

    def _submit(self, path, digest):
        if path != "/digest" or not 1 <= len(digest) <= 64:
            return 400, b"POST /digest with a digest of 1 to 64 bytes"
        # The calendar's own nonce: what it commits to says nothing of the digest.
        salt = os.urandom(16)
        message = sha256(digest + salt)
        with self._lock:
            self._waiting.append(message)
        return 200, op(APPEND, salt) + op(SHA256) + pending(self.url)

    def _upgrade(self, path, _body):
        message = path.removeprefix("/timestamp/")
        with self._lock:
            if message in self._answers:
                return 200, self._answers[message]
            if any(waiting.hex() == message for waiting in self._waiting):
                return 404, b"Pending confirmation in Bitcoin blockchain"
        return 404, b"Not found"
