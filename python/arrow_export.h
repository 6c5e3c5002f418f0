// Portions as an Arrow array through the PyCapsule interface
// (__arrow_c_array__): a large_binary ("Z") or large_string ("U") array whose
// offsets and data buffers are the Portions' own, so pyarrow, polars and
// any other Arrow consumer take them without a copy and without tagcut
// depending on any of them. The structures are the Arrow C data
// interface's, a stable ABI, declared here as that interface asks.
//
// The exported array holds a reference to the Portions until its consumer
// releases it, from any thread.
#ifndef TAGCUT_PYTHON_ARROW_EXPORT_H_
#define TAGCUT_PYTHON_ARROW_EXPORT_H_

#include <pybind11/pybind11.h>

#include <cstdint>

namespace tagcut::python {

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// The (schema, array) capsule pair for `portions_object`, a Portions.
pybind11::tuple ArrowCapsules(pybind11::object portions_object);

}  // namespace tagcut::python

#endif  // TAGCUT_PYTHON_ARROW_EXPORT_H_
