// SPDX-License-Identifier: MIT
// Python objects that hold the core's values, and helpers for arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary.hpp"

namespace njkit {

/// A Python object holding a shared, immutable core value (or none, once
/// consumed). Calls that give up the interpreter lock hold their own share,
/// so the value outlives the call even if the object does not.
template <class T>
struct Holder {
  PyObject_HEAD
  std::shared_ptr<T> value;
};

template <class T>
PyObject* wrap(PyTypeObject* type, std::shared_ptr<T> value) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PyErrAlreadySet{};
  new (&reinterpret_cast<Holder<T>*>(self)->value) std::shared_ptr<T>(std::move(value));
  return self;
}

template <class T>
void release_holder(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Holder<T>*>(self)->value.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class T>
std::shared_ptr<T>& held(PyObject* self) noexcept {
  return reinterpret_cast<Holder<T>*>(self)->value;
}

/// The value held by `object`, which must be an instance of `type`
/// (TypeError naming `what` otherwise).
template <class T>
std::shared_ptr<T> value_of(PyObject* object, PyTypeObject* type, const char* what) {
  if (PyObject_TypeCheck(object, type) == 0) {
    PyErr_Format(PyExc_TypeError, "expected %s, not %.200s", what, Py_TYPE(object)->tp_name);
    throw PyErrAlreadySet{};
  }
  return held<T>(object);
}

/// The types of the module, created once.
struct Types {
  PyTypeObject* alignment = nullptr;
  PyTypeObject* fasta_parser = nullptr;
  PyTypeObject* distances = nullptr;
  PyTypeObject* main_tree = nullptr;
};
Types& types() noexcept;

/// Creates a type from its PyType_Spec and adds it to the module under its name.
PyTypeObject* add_type(PyObject* module, PyType_Spec& type_spec);
/// The module (kept for the rest of the process).
PyObject* core_module() noexcept;

/// (reconstructor, args) for pickling: the module function `name` with `args`.
PyObject* reduce_with(const char* name, OwnedRef args);

/// One of `choices` by its name, else ValueError naming the argument.
template <class E>
E choice(const char* argument, const char* text, std::initializer_list<std::pair<const char*, E>> choices) {
  std::string names;
  for (const auto& [name, value] : choices) {
    if (std::string_view(name) == text) return value;
    names += names.empty() ? "" : ", ";
    names += "'" + std::string(name) + "'";
  }
  PyErr_Format(PyExc_ValueError, "%s must be one of %s, not '%s'", argument, names.c_str(), text);
  throw PyErrAlreadySet{};
}

/// Keyword arguments without a default: TypeError when missing.
void require(bool given, const char* function, const char* argument);

nj::kit::MissingRule missing_rule(const char* text);
nj::kit::AlphabetChoice alphabet_choice(const char* text);
nj::SubstitutionModel model_named(const char* text);
nj::kit::SupportKind support_kind(const char* text);
nj::kit::Undefined undefined_rule(const char* text);
/// A thread count of 1 .. 4096.
unsigned thread_count(Py_ssize_t threads);
/// An int of 0 .. 2^64 - 1.
std::uint64_t unsigned_64(PyObject* value, const char* argument);

/// The UTF-8 text of a str (kept by the str); TypeError naming `what`.
std::string_view utf8_of(PyObject* text, const char* what);
/// A list of str as strings.
std::vector<std::string> strings_of(PyObject* sequence, const char* what);
/// A new list of str from UTF-8 strings.
OwnedRef string_list(const std::vector<std::string>& strings);

/// A buffer view, released (with the lock held) on every path but that of
/// a thread the interpreter ends, which keeps what it holds.
class BufferView {
 public:
  BufferView(PyObject* object, int flags);
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (nj_py::may_touch_python_objects()) PyBuffer_Release(&view_);
  }
  const Py_buffer& operator*() const noexcept { return view_; }
  const Py_buffer* operator->() const noexcept { return &view_; }

 private:
  Py_buffer view_{};
};

void add_alignment_parts(PyObject* module);
void add_distance_parts(PyObject* module);
void add_tree_parts(PyObject* module);

}  // namespace njkit
