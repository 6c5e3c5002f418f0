// The Python types that hand a scan's results over as columns rather than an
// object a portion: Portions (every portion back to back in one buffer and
// n + 1 int64 offsets, Arrow's large_binary / large_string layout) and the
// read-only buffer exports that numpy, memoryview and Arrow read in place.
//
// Guarantees: a Portions never changes after it is made; its buffers are
// exported read-only and each export keeps the Portions alive, so a numpy
// array or Arrow array made from them stays valid after the Portions is
// dropped. Making the Python object costs no copy of the columns;
// tolist() and indexing make a bytes (str) object per portion asked for.
#ifndef TAGCUT_PYTHON_PORTIONS_TYPE_H_
#define TAGCUT_PYTHON_PORTIONS_TYPE_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tagcut/column_buffer.h"
#include "tagcut/portion_columns.h"

namespace tagcut::python {

namespace py = pybind11;

// One input's portions, and whether they are str (UTF-8 data) or bytes.
class Portions {
 public:
  Portions(PortionColumns columns, bool text) : columns_(std::move(columns)), text_(text) {}

  std::size_t size() const { return columns_.size(); }
  bool text() const { return text_; }
  const PortionColumns& columns() const { return columns_; }

  // Portion `index` (negative counts from the end) as bytes or str.
  py::object Item(std::ptrdiff_t index) const;
  py::list ToList() const;
  bool operator==(const Portions& other) const;

 private:
  PortionColumns columns_;
  bool text_;
};

// A new list of the portions [0, n) that `offsets` (n + 1 values) cuts
// `data` into, each a new bytes object, or str decoded from UTF-8.
py::list ListFromColumns(const unsigned char* data, std::span<const std::int64_t> offsets,
                         bool text);

// A read-only memoryview of `count` items of `format` ("B" or "q") at
// `bytes`, `columns` items a row (1: one dimension; 2: shape (n, 2)), that
// keeps `owner` alive as long as any view of it lives.
py::object ReadOnlyView(py::object owner, const unsigned char* bytes, std::size_t count,
                        const char* format, std::size_t columns = 1);

// Spans (int64 start, end pairs) as a read-only memoryview of shape (n, 2),
// owning their buffer.
py::object SpansView(ColumnBuffer spans);

// Defines Portions and the buffer exporter in `module`.
void DefinePortions(py::module_& module);

}  // namespace tagcut::python

#endif  // TAGCUT_PYTHON_PORTIONS_TYPE_H_
