// The Python module's native part, tagcut._tagcut: compiled tag pairs, the
// batch scan the Python iterators drive, and the byte-stream Extractor, over
// the C++ library's PortionPattern, PortionCollector and Extractor.
//
// Guarantees the Python layer (tagcut/__init__.py) relies on:
//   - Input is read in place from any object with a contiguous buffer; str
//     is read as its UTF-8 form, and a pattern made of str tags takes and
//     gives only str (as re does). A portion of valid UTF-8 cut at valid
//     UTF-8 tags is valid UTF-8: a tag begins with a lead byte and the input
//     is whole characters, so a tag can only match at a character boundary,
//     and the held prefix of an end tag is whole characters too.
//   - Inputs longer than one block are scanned a block at a time with the
//     GIL released; between blocks the GIL is taken back, the block's
//     portions become Python objects, and pending signals are handled, so
//     Ctrl-C stops a long scan with KeyboardInterrupt.
//   - A scan or extractor used by a second thread while one is inside it
//     raises RuntimeError instead of mixing two streams' state.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "portions_type.h"
#include "tagcut/extract.h"
#include "tagcut/output_sink.h"
#include "tagcut/portion_columns.h"
#include "tagcut/portions.h"
#include "tagcut/version.h"

namespace py = pybind11;

namespace {

using tagcut::python::Portions;

// Scanned with the GIL released, a block at a time; smaller inputs keep the
// GIL, since releasing and taking it back costs as much as scanning them.
constexpr std::size_t kBlockSize = 1 << 20;
constexpr std::size_t kReleaseGilFrom = 64 << 10;

// The bytes of a Python argument, read in place: a buffer held (its
// exporter cannot resize it meanwhile) or a str's cached UTF-8 form.
class ArgumentBytes {
 public:
  ArgumentBytes(py::handle object, const char* name) {
    if (PyUnicode_Check(object.ptr())) {
      is_text_ = true;
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
      if (data == nullptr) throw py::error_already_set();
      bytes_ = {data, static_cast<std::size_t>(size)};
      return;
    }
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      throw py::type_error(std::string(name) +
                           ": expected str or a contiguous bytes-like object, not " +
                           Py_TYPE(object.ptr())->tp_name);
    }
    held_ = true;
    bytes_ = {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  ~ArgumentBytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  ArgumentBytes(const ArgumentBytes&) = delete;
  ArgumentBytes& operator=(const ArgumentBytes&) = delete;

  std::string_view bytes() const { return bytes_; }
  bool is_text() const { return is_text_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool is_text_ = false;
  std::string_view bytes_;
};

// Marks an object busy for the length of a call; a second thread's call
// meanwhile raises instead of interleaving with the first.
class ExclusiveUse {
 public:
  ExclusiveUse(std::atomic<bool>& busy, const char* what) : busy_(busy) {
    if (busy_.exchange(true)) {
      throw std::runtime_error(std::string(what) + " is in use by another thread");
    }
  }
  ~ExclusiveUse() { busy_.store(false); }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  std::atomic<bool>& busy_;
};

void RaiseIfTextMismatch(bool pattern_is_text, const ArgumentBytes& data) {
  if (pattern_is_text && !data.is_text()) {
    throw py::type_error("data: cannot use a str pattern on a bytes-like object");
  }
  if (!pattern_is_text && data.is_text()) {
    throw py::type_error("data: cannot use a bytes pattern on a str object");
  }
}

py::object ToPython(std::string_view bytes, bool text) {
  PyObject* object =
      text ? PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict")
           : PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

// The collected entries as a new list of bytes (or str), the collector cleared.
py::list TakePortions(tagcut::PortionCollector& collector, bool text) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(collector.size()));
  if (list == nullptr) throw py::error_already_set();
  py::list portions = py::reinterpret_steal<py::list>(list);
  for (std::size_t entry = 0; entry < collector.size(); ++entry) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(entry),
                    ToPython(collector[entry], text).release().ptr());
  }
  collector.Clear();
  return portions;
}

// Appends `more` to `list`, or takes it as the list while that is empty.
void Extend(py::list& list, py::list more) {
  if (PyList_GET_SIZE(list.ptr()) == 0) {
    list = std::move(more);
  } else if (PyList_SetSlice(list.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, more.ptr()) != 0) {
    throw py::error_already_set();
  }
}

// Feeds `data` to `scan_block` a block at a time, the GIL released for
// large blocks; after each block `take` runs with the GIL, and between
// blocks signals are handled.
template <class ScanBlock, class Take>
void ScanInBlocks(std::string_view data, ScanBlock scan_block, Take take) {
  std::size_t at = 0;
  do {
    const std::size_t size = std::min(kBlockSize, data.size() - at);
    const bool last = at + size == data.size();
    const std::span<const unsigned char> block(
        reinterpret_cast<const unsigned char*>(data.data()) + at, size);
    if (size >= kReleaseGilFrom) {
      const py::gil_scoped_release released;
      scan_block(block);
    } else {
      scan_block(block);
    }
    take();
    if (!last && PyErr_CheckSignals() != 0) throw py::error_already_set();
    at += size;
  } while (at < data.size());
}

// Turns byte offsets into `utf8` (int64, in order) into code point offsets,
// as str indexes count: each offset becomes the number of bytes before it
// that begin a character.
void CountCodePoints(std::string_view utf8, tagcut::ColumnBuffer& offsets) {
  auto* offset = reinterpret_cast<std::int64_t*>(offsets.data());
  std::int64_t* const end = offset + offsets.size() / sizeof(std::int64_t);
  std::size_t at = 0;
  std::int64_t characters = 0;
  for (; offset != end; ++offset) {
    const auto to = static_cast<std::size_t>(*offset);
    for (; at < to; ++at) characters += (static_cast<unsigned char>(utf8[at]) & 0xC0) != 0x80;
    *offset = characters;
  }
}

// Both tags as given, their bytes, and their kind: both str, or both bytes.
struct Tags {
  Tags(py::object start_object, py::object end_object)
      : start(std::move(start_object)), end(std::move(end_object)) {
    const ArgumentBytes start_argument(start, "start");
    const ArgumentBytes end_argument(end, "end");
    if (start_argument.is_text() != end_argument.is_text()) {
      throw py::type_error("start and end: both str or both bytes-like");
    }
    text = start_argument.is_text();
    start_bytes = start_argument.bytes();
    end_bytes = end_argument.bytes();
  }

  py::object start;
  py::object end;
  bool text = false;
  std::string start_bytes;
  std::string end_bytes;
};

// A compiled tag pair. The library's pattern is immutable, so any number of
// threads may scan with one at once.
class Pattern {
 public:
  Pattern(py::object start, py::object end)
      : tags_(std::move(start), std::move(end)), pattern_(tags_.start_bytes, tags_.end_bytes) {}

  // Every portion as one bytes (str) object each, made from the columns in
  // one loop.
  py::list FindAll(py::handle data_object) const {
    tagcut::PortionColumnCollector collector(pattern_);
    Collect(data_object, collector);
    const tagcut::PortionColumns& columns = collector.collected();
    return tagcut::python::ListFromColumns(columns.data.data(), columns.offset_values(),
                                           tags_.text);
  }

  Portions FindPortions(py::handle data_object) const {
    tagcut::PortionColumnCollector collector(pattern_);
    Collect(data_object, collector);
    return Portions(collector.Take(), tags_.text);
  }

  // Each portion's (start, end) in the input: bytes, or code points for str.
  py::object FindSpans(py::handle data_object) const {
    const ArgumentBytes data(data_object, "data");
    RaiseIfTextMismatch(tags_.text, data);
    tagcut::SpanCollector collector(pattern_);
    ScanInBlocks(
        data.bytes(), [&](std::span<const unsigned char> block) { collector.Feed(block); }, [] {});
    collector.Finish();
    tagcut::ColumnBuffer spans = collector.Take();
    if (tags_.text && !PyUnicode_IS_ASCII(data_object.ptr())) {
      const py::gil_scoped_release released;
      CountCodePoints(data.bytes(), spans);
    }
    return tagcut::python::SpansView(std::move(spans));
  }
  const tagcut::PortionPattern& compiled() const { return pattern_; }
  const Tags& tags() const { return tags_; }

 private:
  void Collect(py::handle data_object, tagcut::PortionColumnCollector& collector) const {
    const ArgumentBytes data(data_object, "data");
    RaiseIfTextMismatch(tags_.text, data);
    ScanInBlocks(
        data.bytes(), [&](std::span<const unsigned char> block) { collector.Feed(block); }, [] {});
    collector.Finish();
  }

  Tags tags_;
  tagcut::PortionPattern pattern_;
};

// A streaming scan's feed call: `data_object` checked against the pattern's
// kind and fed to `collector` a block at a time, with `take(results)` after
// each block adding what it completed; one thread at a time (`busy`).
template <class Collector, class Take>
py::list FeedInBlocks(std::atomic<bool>& busy, bool text, py::handle data_object,
                      Collector& collector, Take take) {
  const ExclusiveUse use(busy, "this scan");
  const ArgumentBytes data(data_object, "data");
  RaiseIfTextMismatch(text, data);
  py::list results;
  ScanInBlocks(
      data.bytes(), [&](std::span<const unsigned char> block) { collector.Feed(block); },
      [&] { take(results); });
  return results;
}

// One input's scan, fed block by block by the Python iterators: whole
// portions, or pieces with how each ends (as an int: 0 continues, 1 end
// tag, 2 end of input). Pieces are always bytes; the iterator decodes them.
class Scan {
 public:
  Scan(const Pattern& pattern, bool pieces)
      : collector_(pattern.compiled(), pieces ? tagcut::PortionCollector::Unit::kPieces
                                              : tagcut::PortionCollector::Unit::kPortions),
        pieces_(pieces),
        text_(pattern.tags().text) {}

  py::list Feed(py::handle data_object) {
    return FeedInBlocks(busy_, text_, data_object, collector_,
                        [&](py::list& entries) { Take(entries); });
  }

  py::list Finish() {
    const ExclusiveUse use(busy_, "this scan");
    collector_.Finish();
    py::list entries;
    Take(entries);
    return entries;
  }

 private:
  void Take(py::list& entries) {
    if (!pieces_) return Extend(entries, TakePortions(collector_, text_));
    for (std::size_t entry = 0; entry < collector_.size(); ++entry) {
      entries.append(py::make_tuple(ToPython(collector_[entry], false),
                                    static_cast<int>(collector_.end(entry))));
    }
    collector_.Clear();
  }

  tagcut::PortionCollector collector_;
  bool pieces_;
  bool text_;
  std::atomic<bool> busy_{false};
};

// One input's portions in batches of at most `max_bytes` bytes of portions
// (a longer portion is a batch of its own), fed block by block by
// Pattern.iter_batches. A batch is handed over once the next portion does
// not fit in it, or it is full, or the input has ended; the portions of a
// batch not yet full wait for the next block.
class BatchScan {
 public:
  BatchScan(const Pattern& pattern, std::int64_t max_bytes)
      : collector_(pattern.compiled()), max_bytes_(max_bytes), text_(pattern.tags().text) {
    if (max_bytes < 1) {
      throw py::value_error("max_bytes: must be at least 1, not " + std::to_string(max_bytes));
    }
  }

  py::list Feed(py::handle data_object) {
    return FeedInBlocks(busy_, text_, data_object, collector_,
                        [&](py::list& batches) { TakeBatches(batches, false); });
  }

  py::list Finish() {
    const ExclusiveUse use(busy_, "this scan");
    collector_.Finish();
    py::list batches;
    TakeBatches(batches, true);
    return batches;
  }

 private:
  void TakeBatches(py::list& batches, bool input_ended) {
    const std::span<const std::int64_t> offsets = collector_.collected().offset_values();
    const std::size_t count = offsets.size() - 1;
    std::size_t first = 0;
    while (first < count) {
      std::size_t last = first + 1;
      while (last < count && offsets[last + 1] - offsets[first] <= max_bytes_) ++last;
      const bool full = last < count || offsets[last] - offsets[first] >= max_bytes_;
      if (!full && !input_ended) break;
      batches.append(py::cast(Portions(collector_.Copy(first, last), text_)));
      first = last;
    }
    collector_.Drop(first);
  }

  tagcut::PortionColumnCollector collector_;
  std::int64_t max_bytes_;
  bool text_;
  std::atomic<bool> busy_{false};
};

// The command line's byte stream, block by block: each portion followed by
// a line feed; str in and out for str tags.
class StreamExtractor {
 public:
  StreamExtractor(py::object start, py::object end)
      : tags_(std::move(start), std::move(end)), extractor_(tags_.start_bytes, tags_.end_bytes) {}

  py::object Feed(py::handle data_object) {
    const ExclusiveUse use(busy_, "this Extractor");
    const ArgumentBytes data(data_object, "data");
    RaiseIfTextMismatch(tags_.text, data);
    ScanInBlocks(
        data.bytes(), [&](std::span<const unsigned char> block) { extractor_.Feed(block, sink_); },
        [] {});
    return TakeOutput();
  }

  py::object Finish() {
    const ExclusiveUse use(busy_, "this Extractor");
    extractor_.Finish(sink_);
    return TakeOutput();
  }

  const Tags& tags() const { return tags_; }

 private:
  py::object TakeOutput() {
    sink_.Flush();
    py::object output = ToPython(output_, tags_.text);
    output_.clear();
    return output;
  }

  Tags tags_;
  tagcut::Extractor extractor_;
  std::string output_;
  tagcut::StringSink sink_{output_, 64 << 10};
  std::atomic<bool> busy_{false};
};

// Pattern.findall as a plain C method: a small page is scanned in about the
// time pybind11's dispatch takes, so the many-small-inputs case skips it.
// The Pattern that `self` holds. The method descriptor has checked that
// self is a Pattern (or a subclass); pybind11 keeps a lone C++ base's value
// pointer in the instance itself, which is read directly here: its general
// cast looks the type up in hash tables, a third of a small page's call.
const Pattern& PatternOf(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  if (instance->simple_layout && instance->simple_value_holder[0] != nullptr &&
      instance->simple_holder_constructed) {
    return *static_cast<const Pattern*>(instance->simple_value_holder[0]);
  }
  return py::cast<const Pattern&>(py::handle(self));  // raises for an unmade one
}

PyObject* PatternFindAll(PyObject* self, PyObject* data) noexcept {
  try {
    return PatternOf(self).FindAll(data).release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

PyMethodDef pattern_findall = {"findall", PatternFindAll, METH_O,
                               "findall(data) -> list: every portion of data, in order"};

}  // namespace

PYBIND11_MODULE(_tagcut, module) {
  module.doc() = "The native part of tagcut; use the tagcut package.";
  module.attr("__version__") = TAGCUT_VERSION_STRING;
  tagcut::python::DefinePortions(module);

  py::class_<Pattern> pattern(module, "Pattern");
  pattern.def(py::init<py::object, py::object>(), py::arg("start"), py::arg("end"))
      .def_property_readonly("start", [](const Pattern& self) { return self.tags().start; })
      .def_property_readonly("end", [](const Pattern& self) { return self.tags().end; });
  pattern.def("portions", &Pattern::FindPortions, py::arg("data"))
      .def("spans", &Pattern::FindSpans, py::arg("data"));
  pattern.attr("findall") = py::reinterpret_steal<py::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(pattern.ptr()), &pattern_findall));

  py::class_<Scan>(module, "Scan")
      .def(py::init<const Pattern&, bool>(), py::arg("pattern"), py::arg("pieces"))
      .def("feed", &Scan::Feed, py::arg("data"))
      .def("finish", &Scan::Finish);

  py::class_<BatchScan>(module, "BatchScan")
      .def(py::init<const Pattern&, std::int64_t>(), py::arg("pattern"), py::arg("max_bytes"))
      .def("feed", &BatchScan::Feed, py::arg("data"))
      .def("finish", &BatchScan::Finish);

  py::class_<StreamExtractor>(module, "Extractor")
      .def(py::init<py::object, py::object>(), py::arg("start"), py::arg("end"))
      .def("feed", &StreamExtractor::Feed, py::arg("data"))
      .def("finish", &StreamExtractor::Finish)
      .def_property_readonly("start", [](const StreamExtractor& self) { return self.tags().start; })
      .def_property_readonly("end", [](const StreamExtractor& self) { return self.tags().end; });
}
