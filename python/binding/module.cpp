// SPDX-License-Identifier: MIT
// The extension module njkit._core: the core's alignments, distance
// matrices, trees and support counts for the njkit package.
#include <atomic>
#include <cstring>

#include "objects.hpp"

namespace njkit {

namespace {

Types the_types;
PyObject* the_module = nullptr;
std::atomic<std::int64_t> owner_interpreter{-1};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "njkit._core",
    "The core of njkit: alignments encoded as bit planes, distance matrices, Neighbor-Joining\n"
    "trees and seeded bootstrap support, computed with the interpreter lock released.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module and its types belong to the first interpreter that imports it.
bool claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  std::int64_t expected = -1;
  if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError, "njkit._core does not support sub-interpreters");
  return false;
}

// A state size of 0 makes a repeated import call the initialiser again,
// which hands back the one module object.
PyObject* init_module() {
  if (!claim_interpreter()) return raise_unless_set();
  if (the_module != nullptr) return Py_NewRef(the_module);
  OwnedRef module = nj_py::check(PyModule_Create(&module_def));
  add_alignment_parts(module.get());
  add_distance_parts(module.get());
  add_tree_parts(module.get());
  the_module = module.release();
  return Py_NewRef(the_module);
}

}  // namespace

Types& types() noexcept { return the_types; }

PyObject* core_module() noexcept { return the_module; }

PyTypeObject* add_type(PyObject* module, PyType_Spec& type_spec) {
  OwnedRef type = nj_py::check(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
  const char* dot = std::strrchr(type_spec.name, '.');
  nj_py::check_status(PyModule_AddObjectRef(module, dot ? dot + 1 : type_spec.name, type.get()));
  // The module keeps a reference for the rest of the process.
  return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* reduce_with(const char* name, OwnedRef args) {
  const OwnedRef function = nj_py::check(PyObject_GetAttrString(core_module(), name));
  return nj_py::check(PyTuple_Pack(2, function.get(), args.get())).release();
}

}  // namespace njkit

PyMODINIT_FUNC PyInit__core() {
  return njkit::boundary([] { return njkit::init_module(); });
}
