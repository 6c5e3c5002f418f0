"""Portions and spans as columns: what numpy, Arrow consumers and pickle read
of them, the sources iter_batches takes, and threads scanning side by side."""

import ctypes
import io
import mmap
import pickle
import threading

import pytest

import reference
import tagcut

numpy = pytest.importorskip("numpy")

PAGE = b'<a href="one">1</a>\n<a href="tw\xc3\xb6">2</a> <a href="">3</a> <a href="cut'


def test_numpy_reads_both_columns_in_place_and_they_keep_the_result_alive():
    found = tagcut.portions(b'href="', b'"', PAGE)
    offsets = numpy.frombuffer(found.offsets, dtype=numpy.int64)
    data = numpy.frombuffer(found.data, dtype=numpy.uint8)
    del found
    assert [data[a:b].tobytes() for a, b in zip(offsets, offsets[1:])] == [b"one", b"tw\xc3\xb6", b"", b"cut"]
    assert not offsets.flags.writeable and not data.flags.writeable


def test_spans_index_the_input_for_bytes_mmap_and_str(tmp_path):
    path = tmp_path / "page.html"
    path.write_bytes(PAGE * 1000)
    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        spans = numpy.asarray(tagcut.compile(b'href="', b'"').spans(mapped))
        assert spans.shape == (3 * 1000 + 1, 2) and spans.dtype == numpy.int64
        assert [mapped[a:b] for a, b in spans[:4]] == [b"one", b"tw\xc3\xb6", b"", b"cut<a href="]
    text = PAGE.decode() + "é€"
    assert tagcut.spans('href="', '"', text).tolist() == reference.spans('href="', '"', text)


def test_sequence_protocol_and_equality():
    found = tagcut.portions("<b>", "</b>", "<b>é</b><b></b><b>€")
    assert found.is_text and len(found) == 3 and list(found) == ["é", "", "€"]
    assert found[-1] == "€" and found[0] == "é"
    with pytest.raises(IndexError):
        found[3]
    assert found == tagcut.portions("<b>", "</b>", "x<b>é</b><b></b><b>€")
    assert found != tagcut.portions(b"<b>", b"</b>", "<b>é</b><b></b><b>€".encode())
    assert found != tagcut.portions("<b>", "</b>", "<b>é</b><b>x</b><b>€")


# The Arrow C data interface's structures, to read the capsules as a consumer does.
class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                        ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                        ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
                        ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
                       ("dictionary", ctypes.c_void_p),
                       ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
                       ("private_data", ctypes.c_void_p)]


def capsule_structure(capsule, name, structure):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return structure.from_address(get_pointer(capsule, name))


@pytest.mark.parametrize("start, end, data, format", [
    (b'href="', b'"', PAGE, b"Z"), ('href="', '"', PAGE.decode(), b"U"), (b"<", b">", b"none", b"Z")])
def test_arrow_capsules_describe_the_portions(start, end, data, format):
    found = tagcut.portions(start, end, data)
    schema_capsule, array_capsule = found.__arrow_c_array__()
    schema = capsule_structure(schema_capsule, b"arrow_schema", ArrowSchema)
    array = capsule_structure(array_capsule, b"arrow_array", ArrowArray)
    assert (schema.format, schema.n_children) == (format, 0)
    assert (array.length, array.null_count, array.offset, array.n_buffers) == (len(found), 0, 0, 3)
    assert not array.buffers[0]  # no validity bitmap: nothing is null
    offsets = (ctypes.c_int64 * (len(found) + 1)).from_address(array.buffers[1])
    data_bytes = ctypes.string_at(array.buffers[2], offsets[len(found)])
    as_bytes = [portion.encode() if found.is_text else portion for portion in found]
    assert [data_bytes[a:b] for a, b in zip(offsets, offsets[1:])] == as_bytes
    # The array holds the result until its consumer releases it.
    references = ctypes.c_ssize_t.from_address(id(found)).value
    array.release(ctypes.pointer(array))
    assert not array.release and ctypes.c_ssize_t.from_address(id(found)).value == references - 1
    del schema_capsule, array_capsule  # released already: the capsules only free


def test_pickles_with_buffers_out_of_band_and_refuses_bad_buffers():
    found = tagcut.portions(b'href="', b'"', PAGE)
    buffers = []
    dumped = pickle.dumps(found, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 2 and len(dumped) < 200
    assert pickle.loads(dumped, buffers=buffers) == found
    for protocol in (2, 5):
        assert pickle.loads(pickle.dumps(found, protocol=protocol)) == found
    with pytest.raises(ValueError):
        tagcut._portions_from_buffers(b"abc", numpy.array([0, 4], dtype=numpy.int64), False)
    with pytest.raises(ValueError):
        tagcut._portions_from_buffers(b"abc", numpy.array([0, 2, 1, 3], dtype=numpy.int64), False)
    with pytest.raises(ValueError):
        tagcut._portions_from_buffers(b"abc", b"\0" * 12, False)


def test_iter_batches_takes_every_source_and_refuses_a_chunk_of_the_wrong_kind():
    pattern = tagcut.compile(b'href="', b'"')
    expected = [portion for portion, _ in reference.portions(b'href="', b'"', PAGE * 50)]
    for source in (io.BytesIO(PAGE * 50), [PAGE] * 50, PAGE * 50, memoryview(PAGE * 50)):
        batches = list(pattern.iter_batches(source, max_bytes=40, block_size=7))
        assert [portion for batch in batches for portion in batch] == expected
    with pytest.raises(ValueError):
        next(pattern.iter_batches(PAGE, max_bytes=0))
    with pytest.raises(TypeError):
        list(pattern.iter_batches([PAGE, "text"]))
    with pytest.raises(TypeError):
        list(tagcut.compile("<", ">").iter_batches(["<a>", b"<b>"]))


def test_two_threads_scan_side_by_side_with_their_own_results():
    data = [(b'<a href="%d">' % n) * 200000 for n in range(2)]
    results = [None, None]

    def scan(which):
        results[which] = (tagcut.portions(b'href="', b'"', data[which]),
                          tagcut.spans(b'href="', b'"', data[which]))

    threads = [threading.Thread(target=scan, args=(which,)) for which in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for which, (found, spans) in enumerate(results):
        assert len(found) == 200000 and set(found.tolist()) == {b"%d" % which}
        assert len(spans) == 200000 and data[which][spans[-1, 0]:spans[-1, 1]] == b"%d" % which
