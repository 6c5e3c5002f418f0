// Portions exported as Arrow C data interface structures in capsules.

#include "arrow_export.h"

#include <memory>

#include "portions_type.h"

namespace tagcut::python {
namespace {

namespace py = pybind11;

// What an exported array owns: a reference to the Portions whose buffers it
// points at, and the buffer list (no validity bitmap: no portion is null).
struct ExportedArray {
  PyObject* owner;
  const void* buffers[3];
};

void ReleaseSchema(ArrowSchema* schema) { schema->release = nullptr; }

// May run on any thread, with or without the GIL.
void ReleaseArray(ArrowArray* array) {
  auto* exported = static_cast<ExportedArray*>(array->private_data);
  const PyGILState_STATE gil = PyGILState_Ensure();
  Py_DECREF(exported->owner);
  PyGILState_Release(gil);
  delete exported;
  array->release = nullptr;
}

// A capsule's structure is released (unless its consumer moved it out and
// marked it released) and freed with the capsule.
template <class Structure>
void DestroyCapsule(PyObject* capsule, const char* name) {
  auto* structure = static_cast<Structure*>(PyCapsule_GetPointer(capsule, name));
  if (structure == nullptr) {
    PyErr_Clear();
    return;
  }
  if (structure->release != nullptr) structure->release(structure);
  delete structure;
}

void DestroySchemaCapsule(PyObject* capsule) {
  DestroyCapsule<ArrowSchema>(capsule, "arrow_schema");
}
void DestroyArrayCapsule(PyObject* capsule) { DestroyCapsule<ArrowArray>(capsule, "arrow_array"); }

template <class Structure>
struct ReleaseAndFree {
  void operator()(Structure* structure) const {
    if (structure->release != nullptr) structure->release(structure);
    delete structure;
  }
};

template <class Structure>
py::object Capsule(std::unique_ptr<Structure, ReleaseAndFree<Structure>> structure,
                   const char* name, PyCapsule_Destructor destroy) {
  PyObject* capsule = PyCapsule_New(structure.get(), name, destroy);
  if (capsule == nullptr) throw py::error_already_set();
  structure.release();
  return py::reinterpret_steal<py::object>(capsule);
}

// Arrow asks for a non-null pointer for every buffer the type has.
const unsigned char kNoBytes = 0;

}  // namespace

py::tuple ArrowCapsules(py::object portions_object) {
  const Portions& portions = portions_object.cast<const Portions&>();
  const PortionColumns& columns = portions.columns();
  std::unique_ptr<ArrowSchema, ReleaseAndFree<ArrowSchema>> schema(new ArrowSchema{
      portions.text() ? "U" : "Z", "", nullptr, 0, 0, nullptr, nullptr, ReleaseSchema, nullptr});
  auto* exported = new ExportedArray{portions_object.ptr(),
                                     {nullptr, columns.offset_values().data(),
                                      columns.data.size() != 0 ? columns.data.data() : &kNoBytes}};
  Py_INCREF(exported->owner);
  std::unique_ptr<ArrowArray, ReleaseAndFree<ArrowArray>> array(
      new ArrowArray{static_cast<std::int64_t>(portions.size()), 0, 0, 3, 0, exported->buffers,
                     nullptr, nullptr, ReleaseArray, exported});
  py::object schema_capsule = Capsule(std::move(schema), "arrow_schema", DestroySchemaCapsule);
  py::object array_capsule = Capsule(std::move(array), "arrow_array", DestroyArrayCapsule);
  return py::make_tuple(schema_capsule, array_capsule);
}

}  // namespace tagcut::python
