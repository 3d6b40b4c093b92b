"""Test oracle: a deliberately plain big-integer Ed25519 (RFC 8032) used only
to decide what the native core must answer. Slow and not constant-time; never
use it for anything else.

Verification follows the module's rules: the key decompresses when some x
exists for its y (y taken modulo p, so y >= p and x = 0 with the sign bit set
still decompress); S must be below L; the encoding of [S]B - [k]A must equal
the signature's R bytes; small-order keys and R values are allowed.
"""

import hashlib

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, P - 2, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)

OK, BAD_PUBLIC_KEY, BAD_SIGNATURE = "ok", "BadPublicKey", "BadSignature"

# Extended coordinates (X, Y, Z, T) with x = X/Z, y = Y/Z, xy = T/Z.
IDENTITY = (0, 1, 1, 0)


def point_add(p, q):
    # Unified addition for a = -1 (Hisil, Wong, Carter, Dawson 2008): complete
    # on this curve since d is not a square, so it also doubles.
    x1, y1, z1, t1 = p
    x2, y2, z2, t2 = q
    a = (y1 - x1) * (y2 - x2) % P
    b = (y1 + x1) * (y2 + x2) % P
    c = 2 * D * t1 * t2 % P
    d = 2 * z1 * z2 % P
    e, f, g, h = b - a, d - c, d + c, b + a
    return (e * f % P, g * h % P, f * g % P, e * h % P)


def point_neg(p):
    x, y, z, t = p
    return (-x % P, y, z, -t % P)


def scalar_mult(n, p):
    result = IDENTITY
    while n:
        if n & 1:
            result = point_add(result, p)
        p = point_add(p, p)
        n >>= 1
    return result


def encode(p):
    x, y, z, _ = p
    zi = pow(z, P - 2, P)
    x, y = x * zi % P, y * zi % P
    return (y | (x & 1) << 255).to_bytes(32, "little")


def recover_x(y, sign):
    """The x with the given sign bit for y, or None when no x exists."""
    x2 = (y * y - 1) * pow(D * y * y + 1, P - 2, P) % P
    x = pow(x2, (P + 3) // 8, P)
    if x * x % P != x2:
        x = x * SQRT_M1 % P
    if x * x % P != x2:
        return None
    return (P - x) % P if (x & 1) != sign else x


def decompress(encoding):
    if len(encoding) != 32:
        return None
    n = int.from_bytes(encoding, "little")
    y = (n & ((1 << 255) - 1)) % P
    x = recover_x(y, n >> 255)
    return None if x is None else (x, y, 1, x * y % P)


_BY = 4 * pow(5, P - 2, P) % P
BASE = (recover_x(_BY, 0), _BY, 1, recover_x(_BY, 0) * _BY % P)
_BASE_DOUBLINGS = [BASE]
for _ in range(255):
    _BASE_DOUBLINGS.append(point_add(_BASE_DOUBLINGS[-1], _BASE_DOUBLINGS[-1]))


def base_mult(n):
    result = IDENTITY
    for i in range(n.bit_length()):
        if n >> i & 1:
            result = point_add(result, _BASE_DOUBLINGS[i])
    return result


def small_order_or_noncanonical(encoding):
    """y >= p, or the point (either sign) has order dividing 8."""
    y = int.from_bytes(encoding, "little") & ((1 << 255) - 1)
    if y >= P:
        return True
    x = recover_x(y, 0)
    return x is not None and encode(scalar_mult(8, (x, y, 1, x * y % P))) == encode(IDENTITY)


def verify(public_key, signature, message):
    """The outcome the module must give for raw key bytes."""
    a = decompress(public_key)
    if a is None:
        return BAD_PUBLIC_KEY
    if len(signature) != 64:
        return BAD_SIGNATURE
    s = int.from_bytes(signature[32:], "little")
    if s >= L:
        return BAD_SIGNATURE
    k = int.from_bytes(hashlib.sha512(signature[:32] + public_key + message).digest(), "little") % L
    check = point_add(base_mult(s), point_neg(scalar_mult(k, a)))
    return OK if encode(check) == signature[:32] else BAD_SIGNATURE


def _secret_scalar_and_prefix(seed):
    h = hashlib.sha512(seed).digest()
    a = int.from_bytes(h[:32], "little")
    a &= (1 << 254) - 8
    a |= 1 << 254
    return a, h[32:]


def public_key(seed):
    return encode(base_mult(_secret_scalar_and_prefix(seed)[0]))


def sign(seed, message):
    a, prefix = _secret_scalar_and_prefix(seed)
    pk = encode(base_mult(a))
    r = int.from_bytes(hashlib.sha512(prefix + message).digest(), "little") % L
    big_r = encode(base_mult(r))
    k = int.from_bytes(hashlib.sha512(big_r + pk + message).digest(), "little") % L
    return big_r + ((r + k * a) % L).to_bytes(32, "little")


def fingerprint(public_key_bytes):
    return hashlib.sha256(public_key_bytes).hexdigest()[:32]
