#!/usr/bin/env python3
"""Writes the seed corpus of the snapshot decoder fuzz target."""
import pathlib
import struct

OUT = pathlib.Path(__file__).parent / "corpus" / "snapshot_decode"


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def string(s):
    raw = s.encode() if isinstance(s, str) else s
    return varint(len(raw)) + raw


def point(key, vector, payload):
    out = varint(key) + varint(key) + varint(len(vector))
    out += b"".join(struct.pack("<f", x) for x in vector)
    if payload is None:
        return out + b"\x00"
    out += b"\x01" + varint(len(payload))
    for name, (disc, body) in payload.items():
        out += string(name) + varint(disc) + body
    return out


def node(key, layers):
    out = varint(key) + varint(key)
    for k in range(16):
        ids = layers[k] if k < len(layers) else []
        out += varint(len(ids)) + b"".join(varint(i) for i in ids)
    return out


def store(points, entry, max_level, nodes, params=(16, 64, 32)):
    out = varint(len(points)) + b"".join(points)
    out += b"".join(varint(p) for p in params)
    out += b"\x00" if entry is None else b"\x01" + varint(entry)
    out += varint(max_level) + varint(len(nodes)) + b"".join(nodes)
    return out


def zigzag(n):
    return varint(((n << 1) ^ (n >> 63)) & (2**64 - 1))


EMPTY = store([], None, 0, [])
ONE = store([point(7, [1.0, -2.5], {"tenant_id": (0, string("t1"))})], 7, 0, [node(7, [])])
MIXED = store(
    [
        point(1, [0.5, -0.0, float("nan")], {"k": (0, string("a" * 64)), "t": (1, string("b" * 65)),
                                             "i": (2, zigzag(-1)), "f": (3, struct.pack("<d", 0.5))}),
        point(2**64 - 1, [], {}),
        point(300, [3.0] * 4, None),
    ],
    1, 2,
    [node(1, [[2**64 - 1, 300], [300], [1]]), node(300, [[1]]), node(2**64 - 1, [[1, 5]])],
)

SEEDS = {
    "empty_store": EMPTY,
    "one_point": ONE,
    "mixed": MIXED,
    "trailing_bytes": ONE + b"\xff\x00\x01",
    "duplicate_keys": store([point(5, [], None), point(5, [1.0], {})], None, 0,
                            [node(9, [[1]]), node(9, [[2]])]),
    "truncated": MIXED[:-7],
    "bad_discriminant": ONE[:24] + b"\x04" + ONE[25:],
    "bad_entry_marker": ONE[:31] + b"\x02" + ONE[32:],
    "varint_overflow": b"\xff" * 9 + b"\x02",
    "invalid_utf8": ONE[:15] + b"\xc0" + ONE[16:],
    "huge_count": b"\xff\xff\xff\xff\x0f\x01\x01\x00\x00",
    "overlong_varints": b"\x80\x00\x90\x00\xc0\x00\xa0\x00\x00\x80\x80\x00\x00",
}

if __name__ == "__main__":
    OUT.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (OUT / name).write_bytes(data)
    assert len(EMPTY) == 7 and len(ONE) == 53
