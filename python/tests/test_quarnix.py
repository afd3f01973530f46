"""The quarnix module: round trips three ways, the program's containers, damage, the lock, leaks."""
import functools
import io
import os
import pathlib
import random
import subprocess
import sys
import threading
import time

import pytest

import quarnix

PROGRAM = os.environ.get("QRN_PROGRAM") or str(pathlib.Path(__file__).resolve().parents[2] / "build" / "quarnix")
needs_program = pytest.mark.skipif(not os.access(PROGRAM, os.X_OK), reason="no quarnix program at " + PROGRAM)


@functools.lru_cache(maxsize=None)
def sample(n, seed=1):
    """Words from a small vocabulary with some noise: matches of every length."""
    rng = random.Random(seed)
    words = [rng.randbytes(rng.randrange(1, 4)) + bytes(rng.choices(b"etaoin srh", k=rng.randrange(2, 9)))
             for _ in range(500)]
    return b" ".join(rng.choices(words, k=n // 5 + 1))[:n]


def pieces(data, size):
    return (data[i:i + size] for i in range(0, len(data), size))


def via_call(data, piece, **opts):
    z = quarnix.compress(data, **opts)
    assert quarnix.content_size(z) == len(data)
    return z, quarnix.decompress(memoryview(bytearray(z)))


def via_stream(data, piece, **opts):
    c = quarnix.Compressor(**opts)
    z = b"".join(c.compress(p) for p in pieces(data, piece)) + c.flush()
    d = quarnix.Decompressor()
    out = b"".join(d.decompress(p) for p in pieces(z, piece))
    assert not d.eof  # a stream records no length: only the end of input ends it
    out += d.flush()
    assert d.eof and d.unused_data == b""
    return z, out


def via_file(data, piece, **opts):
    f = io.BytesIO()
    with quarnix.open(f, "wb", **opts) as w:
        for p in pieces(data, piece):
            assert w.write(p) == len(p)
    with quarnix.open(io.BytesIO(f.getvalue())) as r:
        out = b"".join(iter(lambda: r.read1(piece), b""))
    return f.getvalue(), out


# (piece, input size, settings): every method and level, then pieces of 1 byte to 1 MiB.
ROUND_TRIPS = [(50_000, 20_000 if lvl == 9 else 300_000, {"method": m, "level": lvl})
               for m, lvl in [(m, lvl) for m in (1, 2, 3) for lvl in (0, 1, 2, 9)] + [(4, 9)]] + [
    (1, 30_000, {}),
    (1000, 200_000, {"level": 0}),
    (65_537, 1_500_000, {"threads": 2, "block_size": 64 << 10}),
    (1 << 20, 3_000_000, {"method": 1, "threads": 3, "block_size": 1 << 20}),
    (1 << 20, 0, {}),
]


@pytest.mark.parametrize("piece,size,opts", ROUND_TRIPS)
@pytest.mark.parametrize("way", [via_call, via_stream, via_file])
def test_round_trip(way, piece, size, opts):
    data = sample(size, seed=piece)
    z, out = way(data, piece, **opts)
    assert out == data and len(z) <= 32 + len(data) * 0.7


def test_lines_and_paths(tmp_path):
    lines = [b"first\n", b"\n", b"x" * 100_000 + b"\n", b"last, no newline"]
    with quarnix.open(tmp_path / "t.qrn", "wb", method=1, level=1) as f:
        assert f.writable() and not f.readable()
        f.writelines(lines)
    with quarnix.open(str(tmp_path / "t.qrn")) as f:
        assert f.readable() and not f.writable() and list(f) == lines
    with quarnix.open(tmp_path / "t.qrn") as f:
        got = bytearray(7)
        assert f.readinto(got) == 7 and got == b"first\n\n" and f.read(2) == b"xx"
    assert f.closed


@needs_program
@pytest.mark.parametrize("method,level", [(1, 0), (2, 1), (3, 2), (4, 9)])
def test_program_both_ways(tmp_path, method, level):
    data = sample(100_000 if level == 9 else 2_000_000, seed=7)
    (tmp_path / "a").write_bytes(data)
    opt = f"-{method}{level}"
    subprocess.run([PROGRAM, opt, "-p0", tmp_path / "a", tmp_path / "a.qrn"], check=True)
    made = (tmp_path / "a.qrn").read_bytes()
    assert made == quarnix.compress(data, method, level)  # one call writes what the program writes
    piped = subprocess.run([PROGRAM, "-of", opt], input=data, stdout=subprocess.PIPE, check=True).stdout
    assert quarnix.content_size(piped) is None
    for z in (made, piped):
        with quarnix.open(io.BytesIO(z)) as f:
            assert f.read() == data
    with quarnix.open(tmp_path / "b.qrn", "wb", method=method, level=level, threads=2) as f:
        f.write(data)
    subprocess.run([PROGRAM, "-d", tmp_path / "b.qrn", tmp_path / "b"], check=True)
    assert (tmp_path / "b").read_bytes() == data


def flip(z, at):
    return z[:at] + bytes([z[at] ^ 0x10]) + z[at + 1:]


WHOLE = quarnix.compress(sample(200_000), block_size=64 << 10)
STREAMED = via_stream(sample(200_000), 1 << 20, block_size=64 << 10)[0]
BAD = {
    "empty": b"",
    "foreign": b"\x1f\x8b\x08\x00" + bytes(60),
    "header cut": WHOLE[:20],
    "truncated": WHOLE[:-9],
    "checksum": flip(WHOLE, 29),
    "payload": flip(WHOLE, len(WHOLE) // 2),
    "bytes after": WHOLE + b"\0",
    "stream truncated": STREAMED[:-9],
    "stream in a record": STREAMED[:len(STREAMED) // 2],
}


@pytest.mark.parametrize("way", ["call", "pieces", "file"])
@pytest.mark.parametrize("name", BAD)
def test_damage_raises(name, way):
    with pytest.raises(quarnix.Error) as e:
        if way == "call":
            quarnix.decompress(BAD[name])
        elif way == "file":
            quarnix.open(io.BytesIO(BAD[name])).read()
        else:
            d = quarnix.Decompressor()
            for p in pieces(BAD[name], 10_000):
                d.decompress(p)
            d.flush()
            assert d.unused_data == b"\0"  # what follows a container is for its reader to judge
            raise quarnix.Error
    assert isinstance(e.value, ValueError)


@pytest.mark.parametrize("opts", [
    {"method": 5}, {"level": 3}, {"method": 4, "level": 2}, {"threads": -1}, {"threads": 33},
    {"block_size": -1}, {"block_size": 2 << 30},
])
def test_bad_settings_raise(opts):
    for start in (functools.partial(quarnix.compress, b"abc"), quarnix.Compressor,
                  functools.partial(quarnix.open, io.BytesIO(), "wb")):
        with pytest.raises(quarnix.Error, match="unsupported|range"):
            start(**opts)


def test_ends_and_sizes():
    d = quarnix.Decompressor()
    assert d.decompress(WHOLE + b"next") == sample(200_000)
    assert d.eof and d.unused_data == b"next" and d.flush() == b""
    with pytest.raises(EOFError):
        d.decompress(b"more")
    (c := quarnix.Compressor()).flush()
    with pytest.raises(ValueError, match="ended"):
        c.compress(b"late")
    assert quarnix.content_size(quarnix.compress(b"")) == 0 and quarnix.decompress(quarnix.compress(b"")) == b""
    with pytest.raises(quarnix.Error):
        quarnix.content_size(b"short")
    assert quarnix.__version__.count(".") == 2


def test_lock_released_while_coding():
    # The main thread stamps the clock (and sleeps) while two threads compress: held through
    # the calls, the lock would leave it no stamp well inside either; released, some at any load.
    data, edge = sample(8_000_000, seed=3), 4 * sys.getswitchinterval()
    spans, stamps, ratios = [], [], []

    def work(n):
        for _ in range(n):
            t0 = time.perf_counter()
            quarnix.compress(data)
            spans.append((t0 + edge, time.perf_counter() - edge))

    def run(*counts):
        workers, t0 = [threading.Thread(target=work, args=(n,)) for n in counts], time.perf_counter()
        for w in workers:
            w.start()
        while any(w.is_alive() for w in workers):
            stamps.append(time.perf_counter())
            time.sleep(0.001)
        return time.perf_counter() - t0

    for attempt in range(3):
        one = run(2)
        spans.clear()
        ratios.append(run(1, 1) / one)
        for lo, hi in spans:
            assert hi - lo > 0.03 and sum(lo < s < hi for s in stamps) > 5
        # Two processors code the pair in clearly less time than one thread both.
        if ratios[-1] < 0.8 or (os.cpu_count() or 1) < 2:
            return
    pytest.skip(f"processors busy: two threads took {ratios} of one thread's time")


def test_no_leak():
    data = sample(4000, seed=5)
    z = quarnix.compress(data)

    def calls(n):
        for _ in range(n):
            quarnix.decompress(quarnix.compress(data, level=0))
            c, d = quarnix.Compressor(level=0), quarnix.Decompressor()
            d.decompress(c.compress(data) + c.flush())
            d.flush()
            with pytest.raises(quarnix.Error):
                quarnix.decompress(z[:-1])

    def rss():
        return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    calls(2000)
    before = rss()
    calls(10_000)
    assert rss() - before < 4 << 20
