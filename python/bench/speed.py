"""One-call speeds of the quarnix module beside the zstandard and lz4 modules
(those found) on one file: python3 python/bench/speed.py FILE (with quarnix
importable, e.g. PYTHONPATH=build-python/lib). Best of 5 runs, one thread."""
import sys
import time

import quarnix

CODECS = {f"quarnix -{m}{lvl}": (lambda d, m=m, lvl=lvl: quarnix.compress(d, m, lvl), quarnix.decompress)
          for m, lvl in [(1, 0), (2, 1), (3, 2)]}
try:
    import zstandard
    for lvl in (1, 3, 9):
        CODECS[f"zstandard {lvl}"] = (zstandard.ZstdCompressor(level=lvl).compress,
                                      zstandard.ZstdDecompressor().decompress)
except ImportError:
    pass
try:
    import lz4.frame
    for lvl in (0, 9):
        CODECS[f"lz4.frame {lvl}"] = (lambda d, lvl=lvl: lz4.frame.compress(d, lvl), lz4.frame.decompress)
except ImportError:
    pass


def best(f, arg, runs=5):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        out = f(arg)
        times.append(time.perf_counter() - t0)
    return min(times), out


data = open(sys.argv[1], "rb").read()
print(f"{len(data):,} bytes; MB/s of original data")
print("| codec | ratio | compression MB/s | decompression MB/s |\n|---|---:|---:|---:|")
for name, (pack, unpack) in CODECS.items():
    tc, z = best(pack, data)
    td, back = best(unpack, z)
    assert back == data
    print(f"| {name} | {len(data) / len(z):.3f} | {len(data) / tc / 1e6:.0f} | {len(data) / td / 1e6:.0f} |")
