// Portions and the read-only buffer exports, over the library's columns.

#include "portions_type.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "arrow_export.h"

namespace tagcut::python {
namespace {

// What a memoryview of a column reads: the bytes, their layout, and the
// object that owns them.
struct ColumnView {
  py::object owner;
  const unsigned char* bytes;
  std::size_t count;
  std::string format;
  std::size_t columns;
};

// Spans own their buffer: the memoryview over them keeps this alive.
struct SpanBuffer {
  ColumnBuffer spans;
};

const unsigned char kNoBytes = 0;

py::object ToPython(const unsigned char* bytes, std::size_t size, bool text) {
  const auto* chars = reinterpret_cast<const char*>(bytes);
  PyObject* object = text ? PyUnicode_DecodeUTF8(chars, static_cast<Py_ssize_t>(size), "strict")
                          : PyBytes_FromStringAndSize(chars, static_cast<Py_ssize_t>(size));
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

// Offsets that cut `data_size` bytes into portions: the first 0, none
// decreasing, the last `data_size`. A Portions is only ever made of these.
void RaiseUnlessValidOffsets(std::span<const std::int64_t> offsets, std::size_t data_size) {
  bool valid = !offsets.empty() && offsets.front() == 0 &&
               offsets.back() == static_cast<std::int64_t>(data_size);
  for (std::size_t i = 1; valid && i < offsets.size(); ++i) valid = offsets[i - 1] <= offsets[i];
  if (!valid) throw py::value_error("offsets: not the offsets of portions of the data");
}

// A Portions from two buffers (an unpickled one's): copied, then checked.
Portions PortionsFromBuffers(const py::buffer& data, const py::buffer& offsets, bool text) {
  const py::buffer_info data_info = data.request();
  const py::buffer_info offsets_info = offsets.request();
  const auto data_size = static_cast<std::size_t>(data_info.size * data_info.itemsize);
  const auto offsets_size = static_cast<std::size_t>(offsets_info.size * offsets_info.itemsize);
  if (offsets_size % sizeof(std::int64_t) != 0) {
    throw py::value_error("offsets: not a whole number of int64 values");
  }
  PortionColumns columns;
  columns.data.Append(data_info.ptr, data_size);
  columns.offsets.Append(offsets_info.ptr, offsets_size);
  RaiseUnlessValidOffsets({reinterpret_cast<const std::int64_t*>(columns.offsets.data()),
                           offsets_size / sizeof(std::int64_t)},
                          data_size);
  return Portions(std::move(columns), text);
}

py::object Reduce(const py::object& self, int protocol) {
  const Portions& portions = self.cast<const Portions&>();
  py::object data = self.attr("data");
  py::object offsets = self.attr("offsets");
  if (protocol >= 5) {  // out of band where the pickler takes buffers so
    const py::object pickle_buffer = py::module_::import("pickle").attr("PickleBuffer");
    data = pickle_buffer(data);
    offsets = pickle_buffer(offsets);
  } else {
    data = py::bytes(data.attr("tobytes")());
    offsets = py::bytes(offsets.attr("tobytes")());
  }
  // A function of the Python package: pickle names it by its module.
  const py::object rebuild = py::module_::import("tagcut").attr("_portions_from_buffers");
  return py::make_tuple(rebuild, py::make_tuple(data, offsets, portions.text()));
}

}  // namespace

py::object Portions::Item(std::ptrdiff_t index) const {
  const auto count = static_cast<std::ptrdiff_t>(size());
  if (index < 0) index += count;
  if (index < 0 || index >= count) throw py::index_error("Portions index out of range");
  const std::string_view portion = columns_[static_cast<std::size_t>(index)];
  return ToPython(reinterpret_cast<const unsigned char*>(portion.data()), portion.size(), text_);
}

py::list Portions::ToList() const {
  return ListFromColumns(columns_.data.data(), columns_.offset_values(), text_);
}

bool Portions::operator==(const Portions& other) const {
  const std::span<const std::int64_t> offsets = columns_.offset_values();
  const std::span<const std::int64_t> other_offsets = other.columns_.offset_values();
  const std::size_t size = columns_.data.size();
  return text_ == other.text_ && std::ranges::equal(offsets, other_offsets) &&
         size == other.columns_.data.size() &&
         (size == 0 || std::memcmp(columns_.data.data(), other.columns_.data.data(), size) == 0);
}

py::list ListFromColumns(const unsigned char* data, std::span<const std::int64_t> offsets,
                         bool text) {
  const std::size_t count = offsets.size() - 1;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) throw py::error_already_set();
  py::list portions = py::reinterpret_steal<py::list>(list);
  for (std::size_t i = 0; i < count; ++i) {
    const auto size = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i),
                    ToPython(data + offsets[i], size, text).release().ptr());
  }
  return portions;
}

py::object ReadOnlyView(py::object owner, const unsigned char* bytes, std::size_t count,
                        const char* format, std::size_t columns) {
  const py::object view = py::cast(
      ColumnView{std::move(owner), bytes != nullptr ? bytes : &kNoBytes, count, format, columns});
  return py::memoryview(view);
}

py::object SpansView(ColumnBuffer spans) {
  const py::object owner = py::cast(SpanBuffer{std::move(spans)});
  const ColumnBuffer& held = owner.cast<const SpanBuffer&>().spans;
  return ReadOnlyView(owner, held.data(), held.size() / sizeof(std::int64_t), "q", 2);
}

void DefinePortions(py::module_& module) {
  py::class_<ColumnView>(module, "_ColumnView", py::buffer_protocol())
      .def_buffer([](const ColumnView& view) {
        const std::size_t item = view.format == "q" ? sizeof(std::int64_t) : 1;
        const auto rows = static_cast<py::ssize_t>(view.count / view.columns);
        if (view.columns == 1) {
          return py::buffer_info(const_cast<unsigned char*>(view.bytes),
                                 static_cast<py::ssize_t>(item), view.format, 1, {rows},
                                 {static_cast<py::ssize_t>(item)}, true);
        }
        const auto row = static_cast<py::ssize_t>(item * view.columns);
        return py::buffer_info(const_cast<unsigned char*>(view.bytes),
                               static_cast<py::ssize_t>(item), view.format, 2,
                               {rows, static_cast<py::ssize_t>(view.columns)},
                               {row, static_cast<py::ssize_t>(item)}, true);
      });
  py::class_<SpanBuffer>(module, "_SpanBuffer");

  py::class_<Portions>(module, "Portions")
      .def("__len__", &Portions::size)
      .def("__getitem__", &Portions::Item, py::arg("index"))
      .def("tolist", &Portions::ToList)
      .def("__eq__",
           [](const Portions& self, const py::object& other) -> py::object {
             if (!py::isinstance<Portions>(other))
               return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             return py::bool_(self == other.cast<const Portions&>());
           })
      .def_property_readonly("is_text", &Portions::text)
      .def_property_readonly("data",
                             [](const py::object& self) {
                               const ColumnBuffer& data =
                                   self.cast<const Portions&>().columns().data;
                               return ReadOnlyView(self, data.data(), data.size(), "B");
                             })
      .def_property_readonly("offsets",
                             [](const py::object& self) {
                               const std::span<const std::int64_t> offsets =
                                   self.cast<const Portions&>().columns().offset_values();
                               return ReadOnlyView(
                                   self, reinterpret_cast<const unsigned char*>(offsets.data()),
                                   offsets.size(), "q");
                             })
      .def(
          "__arrow_c_array__",
          [](const py::object& self, const py::object&) { return ArrowCapsules(self); },
          py::arg("requested_schema") = py::none())
      .def("__reduce_ex__", &Reduce, py::arg("protocol"));
  module.def("_portions_from_buffers", &PortionsFromBuffers, py::arg("data"), py::arg("offsets"),
             py::arg("is_text"));
}

}  // namespace tagcut::python
