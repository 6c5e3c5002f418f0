"""Every entry point against the plain-Python definition, over random tags,
inputs stitched from pieces of the tags, and random block splits."""

import io

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import reference  # noqa: E402
import tagcut  # noqa: E402


def tag_soup(alphabet):
    """Tags over a small alphabet, and an input of tag fragments and letters,
    so that near misses, overlaps and tags split across blocks are common."""

    @st.composite
    def build(draw):
        tag = st.text(alphabet, min_size=0, max_size=4)
        start, end = draw(tag), draw(tag)
        fragments = [start, end, start[:-1], end[:-1], end[1:]] + list(alphabet)
        data = "".join(draw(st.lists(st.sampled_from(fragments), max_size=60)))
        cuts = draw(st.lists(st.integers(0, len(data)), max_size=6))
        max_bytes = draw(st.integers(1, 12))
        return start, end, data, cuts, max_bytes

    return build()


def check_every_entry_point(start, end, data, cuts, max_bytes):
    expected = reference.portions(start, end, data)
    blocks = reference.split(data, cuts)
    pattern = tagcut.compile(start, end)
    assert pattern.findall(data) == [portion for portion, _ in expected]
    assert pattern.portions(data).tolist() == [portion for portion, _ in expected]
    assert pattern.spans(data).tolist() == reference.spans(start, end, data)
    check_batches(pattern.iter_batches(blocks, max_bytes), expected, max_bytes)
    assert list(pattern.iter_portions(blocks)) == [portion for portion, _ in expected]
    assert list(pattern.iter_portions(data, block_size=3)) == [portion for portion, _ in expected]
    assert join_pieces(pattern.iter_pieces(blocks)) == expected
    extractor = tagcut.Extractor(start, end)
    streamed = [extractor.feed(block) for block in blocks] + [extractor.finish()]
    assert data[:0].join(streamed) == reference.stream(start, end, data)


def check_batches(batches, expected, max_bytes):
    """Batches hold the portions in order, each within the bound unless it
    is one portion alone."""
    batches = list(batches)
    assert [portion for batch in batches for portion in batch] == [portion for portion, _ in expected]
    for batch, following in zip(batches, batches[1:] + [None]):
        assert len(batch) > 0
        assert len(batch) == 1 or len(batch.data) <= max_bytes
        if following is not None:  # cut only where the next portion does not fit
            next_size = len(following.data) if len(following) == 1 else following.offsets[1]
            assert len(batch.data) >= max_bytes or len(batch.data) + next_size > max_bytes


def join_pieces(pieces):
    """The pieces put back into [(portion, cut_short)], checking that only a
    portion's last piece may be empty."""
    portions, open_portion = [], None
    for piece, end in pieces:
        open_portion = piece if open_portion is None else open_portion + piece
        if end == tagcut.PortionEnd.CONTINUES:
            assert piece, "an empty piece before the portion's end"
            continue
        portions.append((open_portion, end == tagcut.PortionEnd.END_OF_INPUT))
        open_portion = None
    assert open_portion is None, "the last portion was never ended"
    return portions


@settings(max_examples=400, deadline=None)
@given(tag_soup("ab\n\0"))
def test_bytes_agree_with_the_definition(case):
    start, end, data, cuts, max_bytes = case
    encode = lambda text: text.encode("latin-1")  # noqa: E731
    check_every_entry_point(encode(start), encode(end), encode(data), cuts, max_bytes)


# Two- and three-byte characters, so blocks cut inside a character's bytes.
@settings(max_examples=300, deadline=None)
@given(tag_soup("aé\n€"))
def test_text_agrees_with_the_definition(case):
    check_every_entry_point(*case)


@settings(max_examples=100, deadline=None)
@given(tag_soup("aé€"), st.integers(1, 5))
def test_text_pieces_are_whole_characters(case, block_size):
    start, end, data, _, _ = case
    pattern = tagcut.compile(start, end)
    pieces = list(pattern.iter_pieces(io.StringIO(data), block_size=block_size))
    assert all(isinstance(piece, str) for piece, _ in pieces)
    assert join_pieces(pieces) == reference.portions(start, end, data)
