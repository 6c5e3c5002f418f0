"""The extraction's definition in plain Python, the measure the module is held to.

A portion starts after an occurrence of the start tag and runs to the first
occurrence of the end tag after it; the search for the next start tag begins
after that end tag. Without an end tag, the portion runs to the end of the
input and is cut short. An empty start tag never occurs; an empty end tag
closes nothing, so the first portion runs to the end.
"""


def _found(start, end, data):
    """(begin, close, cut_short) of each portion, close an index into data."""
    found = []
    at = data.find(start) if start else -1
    while at >= 0:
        begin = at + len(start)
        close = data.find(end, begin) if end else -1
        if close < 0:
            found.append((begin, len(data), True))
            break
        found.append((begin, close, False))
        at = data.find(start, close + len(end))
    return found


def portions(start, end, data):
    """[(portion, cut_short)] of data, for bytes or str alike."""
    return [(data[begin:close], cut_short) for begin, close, cut_short in _found(start, end, data)]


def spans(start, end, data):
    """[[start, end]] of each portion in data, by index (code points for str)."""
    return [[begin, close] for begin, close, _ in _found(start, end, data)]


def stream(start, end, data):
    """The command line's output: each portion and one line feed."""
    line_feed = "\n" if isinstance(data, str) else b"\n"
    return data[:0].join(portion + line_feed for portion, _ in portions(start, end, data))


def split(data, cuts):
    """data cut at the given offsets (any order, any range), in order."""
    offsets = sorted({min(max(cut, 0), len(data)) for cut in cuts} | {0, len(data)})
    return [data[a:b] for a, b in zip(offsets, offsets[1:])]
