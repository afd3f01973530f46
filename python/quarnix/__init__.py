"""quarnix containers from Python.

compress() and decompress() code whole buffers in one call (the container
records its length and checksum, and decompress() checks them);
Compressor and Decompressor code a container in pieces, and open() gives a
binary file object over them. A streamed container records neither length nor
checksum, as the quarnix program's output into a pipe. Damaged, truncated or
foreign data and bad settings raise Error, a ValueError.

Coding runs on the calling thread (threads=0) or on worker threads, with the
interpreter lock released; a calling thread needs a stack of 4 MiB or more
(Linux gives Python's threads 8 MiB unless threading.stack_size() says less).
"""
import builtins
import io
import os

from ._quarnix import Compressor, Decompressor, Error, __version__, compress, content_size, decompress

__all__ = ["Compressor", "Decompressor", "Error", "QuarnixFile", "compress", "content_size", "decompress", "open"]

READ_SIZE = 1 << 17


class QuarnixFile(io.BufferedIOBase):
    """A binary file over one container: read ("rb") or written ("wb")."""

    def __init__(self, file, mode="rb", **options):
        # Until the file is in place, closing (as on a failed start) writes nothing.
        self._fp, self._owned, self._reading = None, False, True
        if mode not in ("r", "rb", "w", "wb"):
            raise ValueError(f"mode {mode!r}: 'rb' or 'wb'")
        reading = mode[0] == "r"
        if reading and options:
            raise TypeError("compression options are for writing")
        self._coder = Decompressor() if reading else Compressor(**options)
        if isinstance(file, (str, bytes, os.PathLike)):
            fp, owned = builtins.open(file, "rb" if reading else "wb"), True
        elif hasattr(file, "read" if reading else "write"):
            fp, owned = file, False
        else:
            raise TypeError("file: a path or a binary file object")
        self._fp, self._owned, self._reading = fp, owned, reading
        self._buffer, self._pos = b"", 0

    def readable(self):
        self._check_open()
        return self._reading

    def writable(self):
        self._check_open()
        return not self._reading

    def _check_open(self):
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def _check(self, reading):
        self._check_open()
        if self._reading != reading:
            raise io.UnsupportedOperation("not open for " + ("reading" if reading else "writing"))

    def _fill(self):
        """Makes restored bytes wait in the buffer; False at the container's end."""
        while self._pos == len(self._buffer):
            if self._coder.eof:
                if self._coder.unused_data or self._fp.read(1):
                    raise Error("data after the end of the container")
                return False
            chunk = self._fp.read(READ_SIZE)
            self._buffer = self._coder.decompress(chunk) if chunk else self._coder.flush()
            self._pos = 0
        return True

    def _take(self, size):
        end = len(self._buffer) if size < 0 else self._pos + size
        if self._pos == 0 and end >= len(self._buffer):
            piece = self._buffer
        else:
            piece = self._buffer[self._pos:end]
        self._pos += len(piece)
        return piece

    def peek(self, size=0):
        self._check(True)
        return self._buffer[self._pos:] if self._fill() else b""

    def read1(self, size=-1):
        self._check(True)
        return self._take(size) if size and self._fill() else b""

    def read(self, size=-1):
        self._check(True)
        pieces = []
        while size != 0 and self._fill():
            pieces.append(self._take(size))
            size -= len(pieces[-1]) if size > 0 else 0
        return b"".join(pieces)

    def write(self, data):
        self._check(False)
        out = self._coder.compress(data)
        if out:
            self._fp.write(out)
        return memoryview(data).nbytes

    def flush(self):
        self._check_open()
        if not self._reading:
            self._fp.flush()

    def close(self):
        if self.closed:
            return
        try:
            if not self._reading:
                self._fp.write(self._coder.flush())
        finally:
            try:
                super().close()  # flushes the file below through flush()
            finally:
                self._buffer = b""
                if self._owned:
                    self._fp.close()

def open(file, mode="rb", **options):
    """A QuarnixFile over `file` (a path or a binary file object); in "wb"
    mode, options as Compressor's (method, level, threads, block_size)."""
    return QuarnixFile(file, mode, **options)
