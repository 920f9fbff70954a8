// SPDX-License-Identifier: MIT
// Attribute and module names used on every call, interned once per process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace nj_py {

struct InternedNames {
  PyObject* dunder_all;
  PyObject* dunder_dict;
  PyObject* dunder_name;
  PyObject* dunder_slots;
  PyObject* dataclasses;
  PyObject* is_dataclass;
  PyObject* asdict;
  PyObject* pydantic;
  PyObject* base_model;
  PyObject* model_dump;
};

/// Creates the names (they live for the rest of the process). Called while
/// the module is initialised; returns false with an exception set on failure.
bool intern_names() noexcept;

/// The names; valid once intern_names() has succeeded.
const InternedNames& names() noexcept;

}  // namespace nj_py
