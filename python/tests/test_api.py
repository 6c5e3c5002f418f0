"""The module's promises beyond the definition: the documented cases, the
kinds of argument and source, threads, Ctrl-C, a source that fails."""

import array
import doctest
import io
import mmap
import os
import pickle
import signal
import threading
import time

import pytest

import reference
import tagcut

# (start, end, data, portions): the README's cases, and what tends to break.
CASES = [
    (b'href="', b'"', b'<a href="x.html">', [b"x.html"]),
    (b"{", b"}", b"{a{b}c}", [b"a{b"]),
    (b"[b]", b"[/b]", b"text [b]bold[/", [b"bold[/"]),
    (b"<pre>", b"</pre>", b"<pre>a\nb</pre> <pre>c", [b"a\nb", b"c"]),
    (b"aa", b"aa", b"aaaaaaa", [b"", b"a"]),
    (b"\0", b"\xff", b"\0\xff\0\0\xff", [b"", b"\0"]),
    (b"", b"x", b"axb", []),
    (b"a", b"", b"xaay", [b"ay"]),
    ("<b>", "</b>", "x<b>¡€!</b><b>2", ["¡€!", "2"]),
]


@pytest.mark.parametrize("start, end, data, expected", CASES)
def test_documented_cases_through_every_entry_point(start, end, data, expected):
    assert tagcut.findall(start, end, data) == expected
    assert list(tagcut.iter_portions(start, end, [data[:3], data[3:]])) == expected
    extractor = tagcut.Extractor(start, end)
    assert extractor.feed(data) + extractor.finish() == reference.stream(start, end, data)


def test_every_bytes_like_input_is_read_in_place():
    data = b'<a href="one"> <a href="two">'
    expected = [b"one", b"two"]
    with mmap.mmap(-1, len(data)) as mapped:
        mapped.write(data)
        for form in (bytearray(data), memoryview(data), mapped, array.array("B", data)):
            assert tagcut.findall(b'href="', b'"', form) == expected, type(form)
    assert tagcut.findall(bytearray(b'href="'), memoryview(b'"'), data) == expected
    numpy = pytest.importorskip("numpy")
    assert tagcut.findall(b'href="', b'"', numpy.frombuffer(data, numpy.uint8)) == expected


@pytest.mark.parametrize("call, message", [
    (lambda: tagcut.findall(b"a", b"b", 7), "data: expected str or a contiguous bytes-like"),
    (lambda: tagcut.findall(b"a", b"b", memoryview(b"abab")[::2]), "data: expected"),
    (lambda: tagcut.findall(None, b"b", b""), "start: expected"),
    (lambda: tagcut.compile(b"a", 1.5), "end: expected"),
    (lambda: tagcut.findall("a", b"b", b""), "start and end: both str or both bytes"),
    (lambda: tagcut.findall("a", "b", b"ab"), "data: cannot use a str pattern on a bytes"),
    (lambda: tagcut.Extractor(b"a", b"b").feed("ab"), "data: cannot use a bytes pattern on a str"),
    (lambda: list(tagcut.iter_portions(b"a", b"b", 3)), "source: expected"),
    # Chunks of the other kind, from an iterable, for every iterator form.
    (lambda: list(tagcut.iter_portions(b"a", b"b", ["ab"])), "cannot use a bytes pattern on a str"),
    (lambda: list(tagcut.iter_pieces(b"a", b"b", ["ab"])), "cannot use a bytes pattern on a str"),
    (lambda: list(tagcut.iter_portions("a", "b", [b"ab"])), "cannot use a str pattern on a bytes"),
    (lambda: list(tagcut.iter_pieces("a", "b", [b"ab"])), "cannot use a str pattern on a bytes"),
])
def test_wrong_types_raise_type_error_naming_the_argument(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_sources_of_every_kind_give_the_same_portions():
    data = b"<p>one</p>" * 3000 + b"<p>cut"
    expected = [b"one"] * 3000 + [b"cut"]

    class ReadOnly:  # read, no readinto
        def __init__(self):
            self.file = io.BytesIO(data)

        def read(self, size):
            return self.file.read(size)

    for source in (io.BytesIO(data), ReadOnly(), iter([data[:5], data[5:]]), data):
        assert list(tagcut.iter_portions(b"<p>", b"</p>", source, block_size=7)) == expected
    text = data.decode()
    assert list(tagcut.iter_portions("<p>", "</p>", io.StringIO(text))) == [p.decode() for p in expected]


@pytest.mark.parametrize("count", [-1, -5, 8])
def test_a_source_whose_readinto_lies_about_its_count_raises(count):
    class Lying(io.RawIOBase):  # one lie, then the end of input
        told = False

        def readinto(self, block):
            block[:3] = b"<b>"
            count_now, self.told = (0 if self.told else count), True
            return count_now

    with pytest.raises(OSError, match=f"readinto\\(\\) returned {count}, outside 0 to 7"):
        list(tagcut.iter_portions(b"<b>", b"</b>", Lying(), block_size=7))


def test_a_non_blocking_pipe_is_waited_on():
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    with open(read_end, "rb", buffering=0) as source:
        writer = threading.Timer(0.05, lambda: (os.write(write_end, b"<b>late</b>"), os.close(write_end)))
        writer.start()
        assert list(tagcut.iter_portions(b"<b>", b"</b>", source)) == [b"late"]
        writer.join()


def test_a_failing_source_hands_over_what_it_gave_then_raises():
    def chunks():
        yield b"<b>1</b><b>open"
        raise OSError("connection reset")

    found = []
    with pytest.raises(OSError, match="connection reset"):
        for portion in tagcut.iter_portions(b"<b>", b"</b>", chunks()):
            found.append(portion)
    assert found == [b"1", b"open"]
    pieces = []
    with pytest.raises(OSError):
        pieces.extend(tagcut.iter_pieces(b"<b>", b"</b>", chunks()))
    assert pieces[-1] == (b"", tagcut.PortionEnd.END_OF_INPUT)


def test_pieces_stay_within_the_block_however_long_the_portion():
    block_size = 1 << 12
    chunks = [b"<p>"] + [b"x" * block_size] * 256 + [b"</p>"]
    pieces = list(tagcut.iter_pieces(b"<p>", b"</p>", chunks, block_size=block_size))
    assert max(len(piece) for piece, _ in pieces) <= block_size
    assert b"".join(piece for piece, _ in pieces) == b"x" * (block_size * 256)
    assert pieces[-1][1] == tagcut.PortionEnd.END_TAG


def test_large_text_pieces_cut_inside_a_character_are_decoded_whole():
    portion = "€" * (1 << 19)  # 1.5 MiB of UTF-8: scanned in blocks cut inside a character
    pieces = list(tagcut.iter_pieces("<", ">", "<" + portion + ">"))
    assert "".join(piece for piece, _ in pieces) == portion


def test_an_extractor_used_by_two_threads_at_once_raises():
    extractor = tagcut.Extractor(b"<b>", b"</b>")
    inside, done, refused = threading.Event(), threading.Event(), []

    def intruder():
        inside.wait()
        while not done.is_set():
            try:
                extractor.feed(b"")
            except RuntimeError as error:
                refused.append(str(error))
                return

    thread = threading.Thread(target=intruder)
    thread.start()
    inside.set()
    extractor.feed(b"<b>x</b>" * (8 << 20))  # 64 MiB, scanned with the GIL released
    done.set()
    thread.join()
    assert refused and "in use by another thread" in refused[0]


def test_threads_run_while_a_large_input_is_scanned():
    data = b"<b>x</b>" * (8 << 20)
    ticks, done = [], threading.Event()

    def ticker():  # a tick a millisecond, each needing the GIL
        while not done.wait(0.001):
            ticks.append(time.perf_counter())

    thread = threading.Thread(target=ticker)
    thread.start()
    began = time.perf_counter()
    # portions: the whole call is the scan (findall ends by making its
    # objects, which needs the GIL).
    tagcut.portions(b"<b>", b"</b>", data)
    ended = time.perf_counter()
    done.set()
    thread.join()
    # The middle half of the call, well clear of a thread switch at its edges.
    quarter = (ended - began) / 4
    assert any(began + quarter < tick < ended - quarter for tick in ticks), "the GIL was held throughout"


def test_signals_are_handled_between_blocks_of_a_long_scan():
    data = b"<b>x</b>" * (8 << 20)  # 64 blocks
    calls = []
    previous = signal.signal(signal.SIGPROF, lambda *_: calls.append(1))
    signal.setitimer(signal.ITIMER_PROF, 0.001, 0.001)  # every millisecond of CPU
    try:
        tagcut.findall(b"<b>", b"</b>", data)
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)
    # Handled only where the interpreter runs, the signals would make a call
    # or two (after the scan, or where it collects garbage), not one a block.
    assert len(calls) >= 10

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGPROF, interrupt)
    signal.setitimer(signal.ITIMER_PROF, 0.001, 0.001)
    try:
        for scan in (tagcut.findall, tagcut.portions, tagcut.spans):
            with pytest.raises(KeyboardInterrupt):
                scan(b"<b>", b"</b>", data)
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)


def test_compiled_pairs_are_cached_and_pickle():
    pattern = tagcut.compile(b"<b>", b"</b>")
    assert tagcut.compile(b"<b>", b"</b>") is pattern
    assert tagcut.compile("<b>", "</b>") is not pattern
    copy = pickle.loads(pickle.dumps(pattern))
    assert copy.findall(b"<b>1</b>") == [b"1"] and copy.start == b"<b>"
    assert tagcut.compile(bytearray(b"<b>"), b"</b>").findall(b"<b>2</b>") == [b"2"]


def test_docstring_examples_hold():
    numpy = pytest.importorskip("numpy")
    results = doctest.testmod(tagcut, extraglobs={"tagcut": tagcut, "io": io, "numpy": numpy})
    assert results.attempted > 5 and results.failed == 0


def test_version_is_the_libraries():
    changelog = os.path.join(os.path.dirname(__file__), "..", "..", "CHANGELOG.md")
    with open(changelog) as handle:
        first_release = next(line for line in handle if line.startswith("## ") and line[3].isdigit())
    assert first_release.split()[1] == tagcut.__version__
