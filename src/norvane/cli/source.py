"""The input stream of ``norvane stage`` and ``delete``: a file or standard
input read as bytes under a text decoder, how far it has got, and the line a
byte that cannot be decoded is on."""

import codecs
import io
import os
import sys
from typing import IO, cast

from norvane.cli.errors import DataError

__all__ = ["Source", "decode_error", "line_breaks"]


class Source:
    """An input file or standard input ("-"), read as bytes under a text
    decoder, with how far it has got for a progress bar."""

    def __init__(self, path: str, encoding: str) -> None:
        try:
            self.encoding = codecs.lookup(encoding).name
        except LookupError:
            raise DataError(f"unknown encoding {encoding!r}") from None
        if self.encoding == "utf-8":
            self.encoding = "utf-8-sig"  # a leading BOM is not part of the data
        self.name = "standard input" if path == "-" else path
        try:
            self.raw: IO[bytes] = sys.stdin.buffer if path == "-" else open(path, "rb")
        except OSError as error:
            raise DataError(f"{path}: {error.strerror or error}") from None
        self.start = self.raw.tell() if self._seekable() else 0
        self.size = self._size()
        self._text: io.TextIOWrapper | None = None
        self._counted: _Counted | None = None

    def _seekable(self) -> bool:
        try:
            return self.raw.seekable()
        except (OSError, ValueError):
            return False

    def _size(self) -> int | None:
        try:
            stat = os.fstat(self.raw.fileno())
        except (OSError, ValueError, io.UnsupportedOperation):
            return None
        if not self._seekable() or not (stat.st_mode & 0o170000 == 0o100000):
            return None
        return max(stat.st_size - self.start, 0)

    @property
    def rereadable(self) -> bool:
        """Whether a second pass can read the input again from the start."""
        return self._seekable() and self.size is not None

    def text(self) -> io.TextIOWrapper:
        """The input as text from its start; a new pass on every call."""
        if self._text is not None:
            self._text.detach()
            self.raw.seek(self.start)
        # A file is decoded straight from its buffer (the fast path); input
        # read once is counted as it goes, for the line of a decoding error.
        self._counted = None if self.rereadable else _Counted(self.raw, self.encoding)
        buffer = self.raw if self._counted is None else cast(IO[bytes], self._counted)
        self._text = io.TextIOWrapper(buffer, encoding=self.encoding, newline="")
        return self._text

    def line_of(self, error: UnicodeDecodeError) -> int:
        """The line of the input that the byte `error` stopped at is on. A
        file is decoded again from its start up to that byte."""
        if self._counted is not None:
            return self._counted.line_of(error)
        if self._text is not None:
            self._text.detach()
            self._text = None
        self.raw.seek(self.start)
        counted = _Counted(self.raw, self.encoding)
        text = io.TextIOWrapper(cast(IO[bytes], counted), encoding=self.encoding, newline="")
        try:
            while text.read(1 << 16):
                pass
        except UnicodeDecodeError as again:
            return counted.line_of(again)
        finally:
            text.detach()
        return counted.lines + counted.breaks_of_last() + 1  # the file was mended meanwhile: its end

    def position(self) -> int:
        """Bytes read so far (ahead of the rows handed out by a buffer)."""
        try:
            return max(self.raw.tell() - self.start, 0)
        except (OSError, ValueError):
            return 0

    def close(self) -> None:
        if self._text is not None:
            self._text.detach()
            self._text = None
        if self.raw is not sys.stdin.buffer:
            self.raw.close()


class _Counted:
    """The raw input as the text decoder reads it, a chunk at a time, with
    the line breaks of the chunks it has decoded counted. The decoder reads
    well ahead of the lines handed out, so only this count knows the line of
    a byte it cannot decode: it fails in the chunk read last."""

    def __init__(self, raw: IO[bytes], encoding: str) -> None:
        self.raw = raw
        self.lines = 0  # line breaks before the chunk read last
        self.last = b""
        self.cr = False  # the bytes counted end with "\r" (of a "\r\n" cut in two)
        # Encodings that write "\n" and "\r" as those bytes are counted as
        # bytes; the others (UTF-16 and -32) as text.
        self.encoding = encoding
        ascii_breaks = "\r\n".encode(encoding).endswith(b"\r\n")  # after a BOM, if any
        self.decoder = None if ascii_breaks else codecs.getincrementaldecoder(encoding)("replace")

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return False

    def seekable(self) -> bool:
        return False

    # The decoder asks before every line: an attribute, not a property. The
    # Source closes the raw input.
    closed = False

    def flush(self) -> None:
        pass

    def close(self) -> None:
        pass

    def read1(self, size: int = -1) -> bytes:
        self.lines += self._breaks(self.last)
        self.last = self.raw.read1(size) if hasattr(self.raw, "read1") else self.raw.read(size)
        return self.last

    def read(self, size: int = -1) -> bytes:
        self.lines += self._breaks(self.last)
        self.last = self.raw.read(size)
        return self.last

    def _breaks(self, data: bytes, decoder: codecs.IncrementalDecoder | None = None) -> int:
        decoder = decoder or self.decoder
        # Bytes as latin-1: one character each, "\r" and "\n" as themselves.
        text = data.decode("latin-1") if decoder is None else decoder.decode(data)
        count = line_breaks(text)
        if self.cr and text[:1] == "\n":
            count -= 1
        if text:
            self.cr = text[-1] == "\r"
        return count

    def breaks_of_last(self) -> int:
        return self._breaks(self.last)

    def line_of(self, error: UnicodeDecodeError) -> int:
        # The decoder's object is the chunk read last, after any bytes it held
        # back from the chunk before (an unfinished character: no line break).
        held = max(len(error.object) - len(self.last), 0)
        part = bytes(error.object[held : max(error.start, held)])
        fresh = None if self.decoder is None else codecs.getincrementaldecoder(self.encoding)("replace")
        return self.lines + self._breaks(part, fresh) + 1


def decode_error(source: Source, error: UnicodeDecodeError) -> DataError:
    return DataError(f"{source.name}: line {source.line_of(error)}: not valid {error.encoding} text ({error.reason})")


def line_breaks(text: str) -> int:
    """The line breaks in `text`: "\\n", "\\r" and "\\r\\n" each count once."""
    return text.count("\n") + text.count("\r") - text.count("\r\n")
