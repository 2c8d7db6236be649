"""Writes the seed corpus of argument_conversion_fuzz into
tests/fuzz/corpus/argument_conversion/ (one small file per case).

The byte format is the one described at the top of
tests/fuzz/argument_conversion_fuzz.cpp (operations) and value_builder.h
(values); the helpers below spell it out.
Run from anywhere: python3 tests/fuzz/make_argument_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "argument_conversion")

# Operations.
U64, F32, F32S, PAYLOAD, TEXT, PARSE, UPSERT, SEARCH, BATCH, LARGE, CONSISTENCY, ROUNDTRIP = range(12)

# Value tags.
(NONE, BOOL, INT, FLOAT_RAW, FLOAT_TABLE, INT_TABLE, STR, BYTES, LIST, TUPLE, DICT, DICT_SUB,
 STR_SUB, NUM, INDEX_ONLY, FLOAT_ONLY, LYING_SEQ, LYING_LIST, METRIC, REENTER, INT_SUB,
 FLOAT_SUB, OTHER, KEYWORD_EDGE) = range(24)

# Indexes into the tables of the fuzz target.
FLOATS = {"0": 0, "-0": 1, "1": 2, "nan": 5, "inf": 7, "-inf": 8, "1e39": 9, "f32max": 11,
          "2**63": 14, "0.1": 16}
INTS = {"0": 0, "1": 1, "-1": 2, "2**63-1": 11, "2**63": 12, "-2**63-1": 14, "2**64-1": 15,
        "2**64": 16, "2**128": 17, "3": 18}
METRICS = {"cosine": 0, "COSINE": 1, "Dot": 2, "dot_product": 4, "l2": 6, "L2": 7,
           "euclidean": 8, "manhattan": 10, " cosine": 11, "dot-product": 12, "kelvin": 14}
RAISES = {"FuzzError": 0, "FuzzBase": 1, "FuzzStop": 2, "FuzzIndex": 3, "FuzzKey": 4,
          "TypeError": 5, "OverflowError": 6, "ValueError": 7, "MemoryError": 8}
# Call styles: positional, keywords, mixed, binding error (with the abuse byte).
POSITIONAL, KEYWORDS, MIXED, ABUSE = range(4)


def b(*values):
    return bytes(values)


def none():
    return b(NONE)


def boolean(flag):
    return b(BOOL, int(flag))


def big_int(value):
    magnitude = abs(value).to_bytes(max(1, (abs(value).bit_length() + 7) // 8), "big")[:16]
    return b(INT, len(magnitude) - 1, int(value < 0)) + magnitude


def raw_float(value):
    return b(FLOAT_RAW) + struct.pack("<d", value)


def table_float(name):
    return b(FLOAT_TABLE, FLOATS[name])


def table_int(name):
    return b(INT_TABLE, INTS[name])


def text(raw, tag=STR):
    return b(tag, len(raw)) + raw


def raw_bytes(raw):
    return b(BYTES, len(raw)) + raw


def seq(tag, *items):
    return b(tag, len(items)) + b"".join(items)


def dictionary(*pairs, subclass=False):
    """pairs of (key, value): a bytes key is a str key, otherwise a value."""
    out = b(DICT_SUB if subclass else DICT, len(pairs))
    for key, value in pairs:
        if isinstance(key, bytes) and not key[:1] == b"\xff":
            out += b(1, len(key)) + key + value
        else:
            out += b(0) + key[1:] + value
    return out


def any_key(value):
    """A non-str dictionary key, marked for dictionary()."""
    return b"\xff" + value


def answer_value(value):
    return b(0) + value


def answer_int(name):
    return b(1, INTS[name])


def answer_raise(name):
    return b(2, RAISES[name])


def answer_float(value):
    return b(3) + struct.pack("<d", value)


def num(index, flt):
    return b(NUM) + index + flt


def lying_seq(length, items, fail_at=11):
    return b(LYING_SEQ) + length + b(len(items)) + b"".join(items) + b(fail_at)


def lying_list(length, items):
    return b(LYING_LIST) + length + b(len(items)) + b"".join(items)


def buffer(kind, code, raw, step=0, rows=0):
    """kind: 0 array, 1 memoryview, 2 2-D memoryview, 3 released, 4 over a
    bytearray, 5 zero-dimensional, 6 array subclass; code: index in 'fdBbiq';
    step: index in (1, 2, -1, -2, 3)."""
    return b(OTHER, 7, kind, code, step, rows, len(raw)) + raw


def floats_vector(*values):
    """The biased vector form: n then one byte per element (b % 17 - 8)."""
    return b(len(values)) + b"".join(b(v + 8) for v in values)


def generic_vector(value):
    return b(0xFF) + value


def call(op, style, abuse=0):
    return b(op, style, abuse)


CASES = {
    "u64_values": b"".join([
        b(U64) + table_int("2**64-1"), b(U64) + table_int("2**64"), b(U64) + table_int("-1"),
        b(U64) + boolean(True), b(U64) + raw_float(1.0), b(U64) + big_int(-(2**100)),
        b(U64) + b(INDEX_ONLY) + answer_int("2**63"), b(U64) + b(INT_SUB) + big_int(5)[1:],
    ]),
    "vector_values": b"".join([
        b(F32) + seq(LIST, raw_float(1e39), table_float("nan"), boolean(True), table_int("2**64")),
        b(F32) + seq(TUPLE, big_int(1), big_int(2), big_int(3)),
        b(F32) + text(b"abc"), b(F32) + seq(DICT), b(F32) + raw_bytes(b"\x00\x01\xff"),
        b(F32) + seq(LIST, num(answer_raise("FuzzError"), answer_raise("FuzzBase"))),
        b(F32) + seq(LIST, b(FLOAT_SUB) + struct.pack("<d", 2.5)),
    ]),
    "lying_lengths": b"".join([
        b(F32) + lying_seq(answer_int("2**63-1"), [raw_float(1.0), raw_float(2.0)]),
        b(F32) + lying_seq(answer_int("-1"), [raw_float(1.0)]),
        b(F32) + lying_seq(answer_raise("FuzzBase"), [raw_float(1.0)], fail_at=0),
        b(F32) + lying_list(answer_int("2**64"), [raw_float(3.0)]),
        b(F32S) + lying_seq(answer_int("2**63-1"), [seq(LIST, raw_float(1.0))]),
    ]),
    "buffers": b"".join([
        b(F32) + buffer(1, 0, struct.pack("<4f", 1.0, -2.0, float("nan"), 1e30), step=2),
        b(F32) + buffer(0, 1, struct.pack("<3d", 1e39, -0.0, 0.1), step=2),
        b(F32) + buffer(2, 0, struct.pack("<4f", 1, 2, 3, 4), rows=1),
        b(F32) + buffer(3, 0, struct.pack("<2f", 1, 2)),
        b(F32) + buffer(4, 1, struct.pack("<2d", 1, 2), step=3),
        b(F32) + buffer(5, 0, struct.pack("<f", 7)),
        b(F32) + buffer(6, 0, struct.pack("<2f", 1, 2)),
        b(F32) + buffer(1, 0, b"\x01\x00\x80\x7f" * 2),  # signalling NaN floats
    ]),
    "payload_kinds": b(PAYLOAD) + dictionary(
        (b"tenant_id", text(b"a")), (b"n", table_int("2**63-1")), (b"f", table_float("nan")),
        (b"skip", seq(LIST, none())), (b"b", boolean(False)), (b"long", b(KEYWORD_EDGE, 2)),
        (b"kw", b(KEYWORD_EDGE, 1)), (b"bytes", raw_bytes(b"xy"))),
    "payload_errors": b"".join([
        b(PAYLOAD) + dictionary((b"n", table_int("2**63"))),
        b(PAYLOAD) + dictionary((any_key(big_int(1)), text(b"v"))),
        b(PAYLOAD) + dictionary((b"\xed\xa0\x80", text(b"v"))),  # lone surrogate key
        b(PAYLOAD) + dictionary((b"k", text(b"\xed\xb0\x80x"))),
        b(PAYLOAD) + seq(LIST), b(PAYLOAD) + none(),
    ]),
    "payload_subclasses": b(PAYLOAD) + dictionary(
        (b"s", text(b"hello", tag=STR_SUB)), (b"i", b(INT_SUB) + big_int(2**40)[1:]),
        (b"f", b(FLOAT_SUB) + struct.pack("<d", -1.5)),
        (any_key(text(b"key", tag=STR_SUB)), big_int(3)), subclass=True),
    "text_and_metrics": b"".join([
        b(TEXT) + b(METRIC, METRICS["COSINE"]), b(TEXT) + text(b"\xed\xa0\x80"),
        b(TEXT) + text(b"L2", tag=STR_SUB), b(TEXT) + none(), b(TEXT) + raw_bytes(b"l2"),
        b(PARSE, 11) + b"DOT_PRODUCT", b(PARSE, 3) + "\u212a".encode(),
        b(PARSE, 6) + b"cosin\xc3",
    ]),
    "upsert_plain": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 2, 3) + none(),
        call(UPSERT, KEYWORDS) + b(0, 2) + floats_vector(-1, 0) +
        dictionary((b"tenant_id", text(b"a"))),
        call(UPSERT, MIXED) + b(0, 3) + floats_vector() + seq(DICT),
        call(SEARCH, POSITIONAL) + floats_vector(1, 2, 3) + b(10, METRICS["l2"], 0),
    ]),
    "upsert_failures": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 2) + none(),
        call(UPSERT, POSITIONAL) + b(200) + table_int("-1") + floats_vector(1) + none(),
        call(UPSERT, KEYWORDS) + b(0, 1) + generic_vector(text(b"abc")) + none(),
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(5) +
        dictionary((b"ok", big_int(1)), (b"n", table_int("2**63"))),
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(5) + seq(LIST),
        call(UPSERT, ABUSE, 0) + b(0, 1) + floats_vector(5) + none(),
        call(UPSERT, ABUSE, 2) + b(0, 1) + floats_vector(5) + none(),
    ]),
    "upsert_hostile_objects": b"".join([
        call(UPSERT, POSITIONAL) + b(200) + num(answer_int("3"), answer_float(0.5)) +
        generic_vector(seq(LIST, num(answer_int("1"), answer_raise("ValueError")))) + none(),
        call(UPSERT, POSITIONAL) + b(200) + b(INDEX_ONLY) + answer_raise("OverflowError") +
        floats_vector(1) + none(),
        call(UPSERT, POSITIONAL) + b(0, 4) +
        generic_vector(seq(TUPLE, b(FLOAT_ONLY) + answer_value(text(b"x")))) + none(),
    ]),
    "reentrant": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + generic_vector(seq(LIST, b(REENTER, 0))) + none(),
        call(UPSERT, POSITIONAL) + b(0, 2) + generic_vector(seq(LIST, b(REENTER, 3))) +
        dictionary((b"n", table_int("2**63"))),
        call(SEARCH, POSITIONAL) + generic_vector(b(REENTER, 2)) + b(3, METRICS["cosine"], 0),
        call(BATCH, KEYWORDS) + b(1) + generic_vector(seq(LIST, b(REENTER, 4))) +
        b(2, METRICS["Dot"], 0),
        call(SEARCH, POSITIONAL) + floats_vector(1) + b(200) + b(REENTER, 5) +
        b(METRICS["cosine"], 0),
    ]),
    "search_arguments": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 0) +
        dictionary((b"tenant_id", text(b"a"))),
        call(SEARCH, POSITIONAL) + floats_vector(1, 0) + b(5, METRICS["COSINE"], 200),
        call(SEARCH, KEYWORDS) + floats_vector(1, 0) + b(5, METRICS["manhattan"], 0),
        call(SEARCH, POSITIONAL) + floats_vector(1, 0) + b(200) + table_int("-1") +
        b(METRICS["l2"], 0),
        call(SEARCH, POSITIONAL) + floats_vector(1, 0) + b(5, METRICS["kelvin"], 230) +
        big_int(3),
        call(SEARCH, MIXED) + floats_vector(1, 0) + b(200) + table_int("2**64-1") +
        b(METRICS["dot_product"], 120),
        call(SEARCH, ABUSE, 1) + floats_vector(1, 0) + b(5, METRICS["l2"], 0),
    ]),
    "batch_arguments": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 0) + none(),
        call(BATCH, POSITIONAL) + b(3) + floats_vector(1, 0) + floats_vector(0, 1) +
        floats_vector() + b(5, METRICS["cosine"], 0),
        call(BATCH, POSITIONAL) + b(0) + b(5, METRICS["manhattan"], 0),
        call(BATCH, KEYWORDS) + b(200) + seq(LIST, text(b"ab")) + b(5, METRICS["cosine"], 0),
        call(BATCH, POSITIONAL) + b(200) + seq(DICT) + b(5, METRICS["cosine"], 0),
        call(BATCH, POSITIONAL) + b(200) + lying_seq(answer_int("2**64"), [seq(LIST)]) +
        b(5, METRICS["L2"], 170),
    ]),
    "large_store": b"".join([
        b(LARGE, 0) + b(POSITIONAL, 0) + floats_vector(1, 0, 1, 0) + b(10, METRICS["cosine"], 0),
        b(LARGE, 1) + b(KEYWORDS, 0) + b(2) + floats_vector(1, 1, 1, 1) +
        floats_vector(-1, 0, 2, 0) + b(40, METRICS["euclidean"], 170),
        b(LARGE, 0) + b(POSITIONAL, 0) + floats_vector(1, 0) + b(50, METRICS["Dot"], 100),
    ]),
    "consistency": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 0) +
        dictionary((b"tenant_id", text(b"a"))),
        call(UPSERT, POSITIONAL) + b(0, 2) + floats_vector(0, 1) + none(),
        b(CONSISTENCY, 0, 3) + floats_vector(1, 0) + floats_vector(0, 1) + floats_vector(1) +
        b(5, METRICS["cosine"], 0),
        b(CONSISTENCY, 1, 2) + floats_vector(1, 0, 0, 1) + floats_vector(-3, 2, 1, 0) +
        b(33, METRICS["l2"], 200),
    ]),
    "roundtrip": b"".join([
        call(UPSERT, POSITIONAL) + b(0, 1) + floats_vector(1, 0) +
        dictionary((b"tenant_id", text(b"a")), (b"f", table_float("nan")),
                   (b"t", b(KEYWORD_EDGE, 2))),
        call(UPSERT, POSITIONAL) + b(0, 2) + floats_vector() + seq(DICT),
        call(UPSERT, POSITIONAL) + b(0, 3) + floats_vector(1) + none(),
        b(ROUNDTRIP),
    ]),
    "others": b"".join([
        b(F32) + b(OTHER, 0, 2) + big_int(1) + big_int(2),
        b(F32) + b(OTHER, 2, 3), b(F32) + b(OTHER, 4, 250, 5, 1),
        b(F32) + b(OTHER, 5, 3) + b"abc", b(F32S) + b(OTHER, 3),
        b(F32S) + seq(LIST, b(OTHER, 6, 2) + b"\x01\x02"),
    ]),
    "deep_nesting": b(F32S) + seq(LIST, seq(LIST, seq(TUPLE, seq(LIST, seq(LIST, big_int(1)))))),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name in os.listdir(OUT):
        os.remove(os.path.join(OUT, name))
    for name, data in sorted(CASES.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(CASES)} files to {OUT}")


if __name__ == "__main__":
    main()
