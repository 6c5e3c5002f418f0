"""Copies every portion of a byte string between a start tag and an end tag.

The portions are found as the tagcut command finds them: left to right, never
overlapping, the tags never part of a portion; a start tag inside a portion is
ordinary text, an end tag met while searching is ignored, and a final portion
that the end of the input cuts short is a portion too. Tags are fixed strings
(no patterns), and every byte value is ordinary.

    >>> import tagcut
    >>> tagcut.findall(b'href="', b'"', b'<a href="one.html"> <a href="two.html">')
    [b'one.html', b'two.html']
    >>> tagcut.findall("<b>", "</b>", "x<b>¡1!</b><b>2")
    ['¡1!', '2']

Tags and data are any bytes-like object (bytes, bytearray, memoryview, mmap,
a contiguous array), read in place without a copy, or str: a pair of str tags
takes str data and gives str portions, a pair of bytes-like tags takes and
gives bytes, as the re module does. Str is scanned as its UTF-8 form; a tag
of whole characters can only match at a character boundary, so every portion
is whole characters.

Millions of portions are cheaper as columns than as objects: portions()
gives them back to back in one buffer with int64 offsets (Arrow's
large_binary layout), which numpy and any Arrow consumer read without a
copy, and spans() gives where each portion lies in the input, copying
nothing:

    >>> found = tagcut.portions(b'<b>', b'</b>', b'<b>1</b><b>23</b>')
    >>> numpy.frombuffer(found.offsets, dtype=numpy.int64)
    array([0, 1, 3])
    >>> bytes(found.data), found.tolist()
    (b'123', [b'1', b'23'])
    >>> tagcut.compile(b'<b>', b'</b>').spans(b'<b>1</b><b>23</b>').tolist()
    [[3, 4], [11, 13]]

Inputs larger than 64 KiB are scanned a block at a time with the GIL
released, so threads scan side by side, and Ctrl-C interrupts between blocks.
"""

from __future__ import annotations

import codecs
import enum
import functools
import select
from typing import Any, Iterable, Iterator, Tuple, Union

from . import _tagcut

__all__ = ["Extractor", "Pattern", "PortionEnd", "Portions", "compile", "findall",
           "iter_batches", "iter_pieces", "iter_portions", "portions", "spans", "__version__"]

__version__: str = _tagcut.__version__

# What a source is read in, when it is read in blocks.
DEFAULT_BLOCK_SIZE = 1 << 16

# The bound on a batch's bytes of portions, unless one is given.
DEFAULT_BATCH_BYTES = 1 << 24

Portions = _tagcut.Portions
Portions.__doc__ = """Every portion of one input, back to back in one buffer.

    A read-only sequence of bytes (str for str tags), each made when asked
    for: len, indexing, iteration, tolist() (equal to findall), and
    equality with another Portions. `data` (format B) and `offsets` (int64,
    len + 1 of them, from 0 to len(data)) are read-only memoryviews that keep
    the result alive: portion i is data[offsets[i]:offsets[i + 1]], as in
    Arrow's large_binary and large_string arrays. __arrow_c_array__ hands
    the two buffers to pyarrow, polars or any Arrow consumer without a copy;
    pickling with protocol 5 hands them on out of band."""
Portions.__repr__ = lambda self: f"<tagcut.Portions: {len(self)} portions, {len(self.data)} bytes>"

_CACHE_SIZE = 512


class PortionEnd(enum.IntEnum):
    """How a piece ends: its portion goes on, its end tag closed it, or the
    input ended inside it (only the last portion can end so)."""

    CONTINUES = 0
    END_TAG = 1
    END_OF_INPUT = 2


class Pattern(_tagcut.Pattern):
    """A start and end tag compiled once, as re.compile does for a pattern.

    A pattern is immutable: any number of threads may use one at once.

    >>> links = tagcut.compile(b'href="', b'"')
    >>> [links.findall(page) for page in (b'<a href="x">', b'none')]
    [[b'x'], []]
    """

    def iter_portions(self, source: Any, block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Any]:
        """Each portion of the input that `source` gives, as it is read.

        The source is a binary file object (anything with readinto or read),
        an iterable of bytes-like chunks (str chunks for str tags), or one
        bytes-like object or str. It is read `block_size` at a time; memory
        is bounded by the block and the longest portion. If reading raises,
        the portions found before it and the open portion (cut short) are
        yielded first, then the exception goes on.

        >>> list(tagcut.compile(b'<b>', b'</b>').iter_portions(io.BytesIO(b'<b>1</b><b>2')))
        [b'1', b'2']
        """
        scan = _tagcut.Scan(self, False)
        yield from _scan_source(scan, self, source, block_size)

    def iter_pieces(self, source: Any,
                    block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Tuple[Any, PortionEnd]]:
        """Each portion in pieces, as (piece, PortionEnd), in memory bounded
        by the block however long a portion is.

        Every piece but a portion's last holds something and ends with
        PortionEnd.CONTINUES; the last ends with END_TAG, or END_OF_INPUT
        when the input ended inside the portion (it may be empty). Sources
        are those of iter_portions; for str tags a piece is whole characters.

        >>> list(tagcut.compile(b'<b>', b'</b>').iter_pieces([b'<b>1', b'2</b><b>']))
        [(b'1', <PortionEnd.CONTINUES: 0>), (b'2', <PortionEnd.END_TAG: 1>), (b'', <PortionEnd.END_OF_INPUT: 2>)]
        """
        scan = _tagcut.Scan(self, True)
        entries = _scan_source(scan, self, source, block_size)
        if not isinstance(self.start, str):
            for piece, end in entries:
                yield piece, PortionEnd(end)
            return
        decoder = codecs.getincrementaldecoder("utf-8")()
        for piece, end in entries:
            text = decoder.decode(piece, final=end != PortionEnd.CONTINUES)
            if text or end != PortionEnd.CONTINUES:
                yield text, PortionEnd(end)

    def iter_batches(self, source: Any, max_bytes: int = DEFAULT_BATCH_BYTES,
                     block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Portions]:
        """The portions of the input that `source` gives as Portions of at
        most `max_bytes` bytes each, in order, as it is read; a portion is
        never split, and one longer than `max_bytes` is a batch of its own.
        Sources are those of iter_portions; memory is bounded by the bound,
        the block and the longest portion.

        >>> [batch.tolist() for batch in tagcut.compile(b'<', b'>').iter_batches(b'<a><bc><d>', 2)]
        [[b'a'], [b'bc'], [b'd']]
        """
        scan = _tagcut.BatchScan(self, max_bytes)
        yield from _scan_source(scan, self, source, block_size)

    def extractor(self) -> Extractor:
        """A new Extractor with these tags."""
        return Extractor(self.start, self.end)

    def __reduce__(self):
        return compile, (self.start, self.end)

    def __repr__(self) -> str:
        return f"tagcut.compile({self.start!r}, {self.end!r})"


class Extractor(_tagcut.Extractor):
    """The tagcut command's output, block by block: each portion followed by
    one line feed. feed(data) returns what the block released (only the bytes
    of a partly seen end tag are held back); finish() ends the input,
    closing an open portion. One extractor is one stream: a second thread
    calling it while one is inside raises RuntimeError.

    >>> extractor = tagcut.Extractor(b'<b>', b'</b>')
    >>> extractor.feed(b'<b>1</'), extractor.feed(b'b> <b>2'), extractor.finish()
    (b'1', b'\\n2', b'\\n')
    """

    def __repr__(self) -> str:
        return f"tagcut.Extractor({self.start!r}, {self.end!r})"


def compile(start: Union[str, Any], end: Union[str, Any]) -> Pattern:  # noqa: A001 (as re.compile)
    """The pair compiled: a Pattern. Pairs of str or bytes tags are cached,
    so compiling the same pair again is a dictionary lookup.

    >>> tagcut.compile("<b>", "</b>").findall("<b>1</b>")
    ['1']
    """
    if type(start) in (bytes, str) and type(end) in (bytes, str):
        return _compile_cached(start, end)
    return Pattern(start, end)


@functools.lru_cache(maxsize=_CACHE_SIZE, typed=True)
def _compile_cached(start, end) -> Pattern:
    return Pattern(start, end)


def findall(start: Any, end: Any, data: Any) -> list:
    """Every portion of `data`, in order, a final one cut short by the end of
    `data` included.

    >>> tagcut.findall(b'<b>', b'</b>', b'x<b>1</b><b>2')
    [b'1', b'2']
    """
    return compile(start, end).findall(data)


def portions(start: Any, end: Any, data: Any) -> Portions:
    """Pattern.portions with the pair compiled (and cached): every portion of
    `data` as one Portions.

    >>> tagcut.portions(b'<b>', b'</b>', b'x<b>1</b><b>2').tolist()
    [b'1', b'2']
    """
    return compile(start, end).portions(data)


def spans(start: Any, end: Any, data: Any) -> memoryview:
    """Pattern.spans with the pair compiled (and cached).

    >>> tagcut.spans("<b>", "</b>", "¡<b>¿</b>").tolist()
    [[4, 5]]
    """
    return compile(start, end).spans(data)


def iter_batches(start: Any, end: Any, source: Any, max_bytes: int = DEFAULT_BATCH_BYTES,
                 block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Portions]:
    """Pattern.iter_batches with the pair compiled (and cached).

    >>> [len(batch) for batch in tagcut.iter_batches(b'<', b'>', [b'<a><b', b'><c>'], 2)]
    [2, 1]
    """
    return compile(start, end).iter_batches(source, max_bytes, block_size)


def iter_portions(start: Any, end: Any, source: Any,
                  block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Any]:
    """Pattern.iter_portions with the pair compiled (and cached).

    >>> list(tagcut.iter_portions(b'<b>', b'</b>', [b'<b>1</', b'b>']))
    [b'1']
    """
    return compile(start, end).iter_portions(source, block_size)


def iter_pieces(start: Any, end: Any, source: Any,
                block_size: int = DEFAULT_BLOCK_SIZE) -> Iterator[Tuple[Any, PortionEnd]]:
    """Pattern.iter_pieces with the pair compiled (and cached).

    >>> [piece for piece, end in tagcut.iter_pieces(b'<b>', b'</b>', [b'<b>1', b'2</b>'])]
    [b'1', b'2']
    """
    return compile(start, end).iter_pieces(source, block_size)


def _portions_from_buffers(data: Any, offsets: Any, is_text: bool) -> Portions:
    """A pickled Portions back from its two buffers (checked, then copied)."""
    return _tagcut._portions_from_buffers(data, offsets, is_text)


def _scan_source(scan, pattern: Pattern, source: Any, block_size: int) -> Iterator[Any]:
    """What `scan` gives for each block of `source`, then at its end; if
    reading raises, the end's entries come first, then the exception."""
    if block_size < 1:
        raise ValueError(f"block_size: must be at least 1, not {block_size}")
    blocks = _blocks(source, block_size, isinstance(pattern.start, str))
    while True:
        try:
            block = next(blocks, None)
        except BaseException:
            yield from scan.finish()
            raise
        if block is None:
            break
        yield from scan.feed(block)
    yield from scan.finish()


def _blocks(source: Any, block_size: int, text: bool) -> Iterator[Any]:
    """The blocks of `source`, whatever kind of source it is."""
    if isinstance(source, str) or _is_bytes_like(source):
        whole = source if isinstance(source, str) else memoryview(source).cast("B")
        for at in range(0, len(whole), block_size):
            yield whole[at:at + block_size]
        return
    if hasattr(source, "readinto") and not text:
        yield from _read_into(source, block_size)
    elif hasattr(source, "read"):
        yield from _read(source, block_size)
    elif isinstance(source, Iterable):
        yield from source
    else:
        raise TypeError("source: expected a file object, an iterable of chunks, bytes or str, "
                        f"not {type(source).__name__}")


def _is_bytes_like(source: Any) -> bool:
    try:
        memoryview(source)
    except TypeError:
        return False
    return True


def _read_into(source: Any, block_size: int) -> Iterator[memoryview]:
    block = memoryview(bytearray(block_size))
    while True:
        count = source.readinto(block)
        if count is None:  # non-blocking, nothing there yet
            _wait_readable(source)
            continue
        # A count outside the block would scan bytes the source never read
        # (block[:-1] is the stale block less a byte); io refuses it too.
        if not 0 <= count <= block_size:
            raise OSError(f"source: readinto() returned {count}, outside 0 to {block_size}")
        if count == 0:
            return
        yield block[:count]


def _read(source: Any, block_size: int) -> Iterator[Any]:
    while True:
        chunk = source.read(block_size)
        if chunk is None:
            _wait_readable(source)
            continue
        if len(chunk) == 0:
            return
        yield chunk


def _wait_readable(source: Any) -> None:
    if not hasattr(source, "fileno"):
        raise BlockingIOError("source: a non-blocking source without a file descriptor to wait on")
    select.select([source], [], [])
