"""nefa._native.inflate_chunks against Python's zlib: every way zlib writes
deflate data, hand-made streams at the edges of what zlib accepts, and
damaged streams, which must be refused exactly when zlib refuses them."""

import random
import struct
import zlib

import msgpack
import pytest

from nefa import _native

STRATEGIES = (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED)


def records(count, seed=3):
    rng = random.Random(seed)
    return b"".join(
        msgpack.packb(
            [
                i,
                1.7e9 + i * 1e-6,
                f"app.handle_{rng.randrange(40)}",
                {"item": rng.randrange(1000), "name": f"item-{rng.randrange(50)}"},
            ]
        )
        for i in range(count)
    )


def corpus():
    rng = random.Random(5)
    far = rng.randbytes(32768)
    return {
        "empty": b"",
        "one byte": b"x",
        "tiny": b"abcabcabca",
        "a block of records": records(800)[:16384],
        "incompressible": rng.randbytes(40000),
        "one byte repeated": bytes(70000),
        "periods 2 to 7": b"".join(rng.randbytes(period) * (2000 // period) for period in range(2, 8)),
        "periods 8 to 40": b"".join(rng.randbytes(period) * 40 for period in range(8, 41)),
        "long matches": rng.randbytes(300) * 100,
        "32 KiB back": far + far[:5000] + rng.randbytes(100) + far[-3000:],
        "records": records(2500),
    }


def inflate(stream, size):
    return _native.inflate_chunks([stream], [size])


def zlib_gives(stream, size):
    """What zlib makes of a stream that must give exactly ``size`` bytes and end where it ends."""
    inflater = zlib.decompressobj()
    try:
        raw = inflater.decompress(stream)
    except zlib.error:
        return None
    return raw if inflater.eof and not inflater.unused_data and len(raw) == size else None


def assert_as_zlib(stream, size):
    expected = zlib_gives(stream, size)
    if expected is None:
        with pytest.raises(ValueError, match="^row 0: "):
            inflate(stream, size)
    else:
        assert inflate(stream, size) == expected
    return expected is not None


class TestRoundTrips:
    @pytest.mark.parametrize("strategy", STRATEGIES)
    def test_every_level_and_input(self, strategy):
        for name, raw in corpus().items():
            for level in range(10):
                deflater = zlib.compressobj(level, zlib.DEFLATED, 15, 9, strategy)
                stream = deflater.compress(raw) + deflater.flush()
                assert inflate(stream, len(raw)) == raw, (name, level)
                for wrong in (len(raw) - 1, len(raw) + 1):
                    if wrong >= 0:
                        with pytest.raises(ValueError):
                            inflate(stream, wrong)

    def test_blocks_of_every_kind_in_one_stream(self):
        rng = random.Random(11)
        pieces = [rng.randbytes(5000), b"short text", records(3000), b"", rng.randbytes(70000), records(20)]
        raw = b"".join(pieces)
        for modes in ((zlib.Z_SYNC_FLUSH,) * 6, (zlib.Z_FULL_FLUSH, zlib.Z_BLOCK) * 3):
            deflater = zlib.compressobj(6)
            stream = b"".join(deflater.compress(piece) + deflater.flush(mode) for piece, mode in zip(pieces, modes))
            stream += deflater.flush()
            assert inflate(stream, len(raw)) == raw


class TestDamage:
    @pytest.mark.parametrize("seed", range(4))
    def test_cut_and_flipped_streams_as_zlib_says(self, seed):
        rng = random.Random(seed)
        raw = records(900, seed)[: rng.choice((300, 16384))]
        level, strategy = rng.randrange(10), rng.choice(STRATEGIES)
        deflater = zlib.compressobj(level, zlib.DEFLATED, 15, 9, strategy)
        stream = deflater.compress(raw) + deflater.flush()
        cuts = (
            range(len(stream))
            if len(stream) < 400
            else {*rng.sample(range(len(stream)), 150), *range(len(stream) - 8, len(stream))}
        )
        for cut in cuts:
            assert not assert_as_zlib(stream[:cut], len(raw))
        for case in range(500):
            damaged = bytearray(stream)
            if case % 2:
                # Most of what can go wrong is in a block's header: its codes.
                at = rng.randrange(min(len(stream), 80))
                damaged[at] ^= 1 << rng.randrange(8)
            else:
                # Not the first two bytes: another valid header would be one
                # with a smaller window, which these rows never have.
                for _ in range(rng.randrange(1, 4)):
                    damaged[rng.randrange(2, len(stream))] = rng.randrange(256)
            assert_as_zlib(bytes(damaged), len(raw))


class Bits:
    """Deflate's bit order: values from their low bit, Huffman codes from their high one."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):
        self.value |= value << self.count
        self.count += count

    def code(self, codes, symbol):
        code, length = codes[symbol]
        self.put(int(format(code, f"0{length}b")[::-1], 2), length)

    def stream(self, raw):
        return b"\x78\x01" + self.value.to_bytes((self.count + 7) // 8, "little") + zlib.adler32(raw).to_bytes(4, "big")


def canonical(lengths):
    codes, code = {}, 0
    for length in range(1, 16):
        for symbol, own in enumerate(lengths):
            if own == length:
                codes[symbol] = (code, length)
                code += 1
        code <<= 1
    return codes


def bases(extras, first):
    """(symbol, base, extra bits) for each length or distance code."""
    table, base = [], first
    for symbol, extra in enumerate(extras):
        table.append((symbol, base, extra))
        base += 1 << extra
    return table


LENGTHS = [(257 + s, base, extra) for s, base, extra in bases([0] * 8 + [e for e in range(1, 6) for _ in range(4)], 3)]
LENGTHS.append((285, 258, 0))
DISTANCES = bases([0, 0] + [e for e in range(14) for _ in range(2)], 1)
PRECODE = [4] * 13 + [5] * 6  # complete: 13/16 + 6/32
PRECODE_ORDER = (16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15)


def put_symbols(bits, litlen, distance, symbols, raw):
    """Literals, (length, distance) matches or (value, bit count) raw bits; raw gets what they give."""
    for symbol in symbols:
        if isinstance(symbol, int):
            bits.code(litlen, symbol)
            if symbol < 256:
                raw.append(symbol)
        elif symbol[0] == "bits":
            bits.put(symbol[1], symbol[2])
        else:
            length, back = symbol
            for codes, table, value in ((litlen, LENGTHS, length), (distance, DISTANCES, back)):
                code, base, extra = [entry for entry in table if entry[1] <= value][-1]
                bits.code(codes, code)
                bits.put(value - base, extra)
            for _ in range(length):
                raw.append(raw[-back] if back <= len(raw) else BEFORE)


def dynamic(litlen, distance, symbols, litlen_count=None, distance_count=None, runs=None):
    """One final dynamic block: code lengths given as {symbol: length}, sent
    literally unless ``runs`` gives the code-length symbols (and their extra bits)."""
    litlen_count = litlen_count or max(257, max(litlen) + 1)
    distance_count = distance_count or max(1, max(distance, default=0) + 1)
    litlen_lengths = [litlen.get(s, 0) for s in range(litlen_count)]
    distance_lengths = [distance.get(s, 0) for s in range(distance_count)]
    bits = Bits()
    bits.put(0b101, 3)
    bits.put(litlen_count - 257, 5)
    bits.put(distance_count - 1, 5)
    bits.put(len(PRECODE) - 4, 4)
    for symbol in PRECODE_ORDER:
        bits.put(PRECODE[symbol], 3)
    precode = canonical(PRECODE)
    for run in runs if runs is not None else [(length, 0, 0) for length in litlen_lengths + distance_lengths]:
        bits.code(precode, run[0])
        bits.put(run[1], run[2])
    raw = bytearray()
    put_symbols(bits, canonical(litlen_lengths), canonical(distance_lengths), [*symbols, *[END][: END in litlen]], raw)
    return bits.stream(raw), len(raw)


A, B, END = 97, 98, 256
BEFORE = ord("z")  # what a match from before a stream's start gives, for the checksum (see below)
EDGES = {
    # (stream, size), what zlib does with it
    "one distance code of one bit": (dynamic({A: 1, END: 2, 257: 2}, {0: 1}, [A, (3, 1), (3, 1)]), True),
    "no distance codes": (dynamic({A: 1, END: 1}, {}, [A, A]), True),
    "only the end of the block": (dynamic({END: 1}, {}, []), True),
    "the unused bit of a one-bit code": (dynamic({A: 1, END: 2, 257: 2}, {0: 1}, [A, 257, ("bits", 1, 1)]), False),
    "a length with no distance codes": (dynamic({A: 1, END: 2, 257: 2}, {}, [A, 257, ("bits", 0, 8)]), False),
    "an incomplete code": (dynamic({A: 2, END: 2}, {}, [A]), False),
    "two distance codes of two bits": (dynamic({A: 1, END: 1}, {0: 2, 1: 2}, [A], distance_count=2), False),
    "a distance before the start": (
        dynamic({A: 1, END: 2, 257: 2}, {0: 1, 1: 1}, [A, (3, 2)], distance_count=2),
        False,
    ),
    "a distance back to the start": (
        dynamic({A: 2, B: 2, END: 2, 257: 2}, {0: 1, 1: 1}, [A, B, (3, 2)], distance_count=2),
        True,
    ),
    "a repeat of nothing": (dynamic({END: 1}, {}, [], runs=[(16, 0, 2)]), False),
    "a run past the lengths": (
        dynamic({END: 1}, {0: 1}, [], runs=[(18, 127, 7), (18, 107, 7), (1, 0, 0), (16, 0, 2)]),
        False,
    ),
    "287 length codes": (dynamic({A: 1, END: 1}, {}, [A], litlen_count=287), False),
    "31 distance codes": (dynamic({A: 1, END: 1}, {}, [A], distance_count=31), False),
}


@pytest.mark.parametrize("name", EDGES)
def test_hand_made_streams_as_zlib_says(name):
    (stream, size), accepted = EDGES[name]
    assert assert_as_zlib(stream, size) is accepted


def test_no_match_reaches_before_its_stream():
    # The room before a block's is the block before it, here all BEFORE: a
    # decoder that read there would give the bytes these checksums are of.
    # Short streams are decoded carefully, long ones by the fast loop.
    short = EDGES["a distance before the start"][0]
    long = dynamic({A: 1, END: 2, 257: 2}, {0: 1, 19: 1}, [A] * 300 + [(3, 1000)] + [A] * 1600)
    first = zlib.compress(bytes([BEFORE]) * 2000)
    for stream, size in (short, long):
        assert zlib_gives(stream, size) is None
        row = struct.pack(">IIII", 2000, 2, len(first), len(stream)) + first + stream
        with pytest.raises(ValueError, match="a block does not inflate"):
            _native.inflate_chunks([row], [2000 + size])
