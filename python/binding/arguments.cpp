// SPDX-License-Identifier: MIT
// Arguments of the module's functions: names of choices, counts, texts.
#include "objects.hpp"

namespace njkit {

void require(bool given, const char* function, const char* argument) {
  if (given) return;
  PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", function,
               argument);
  throw PyErrAlreadySet{};
}

nj::kit::MissingRule missing_rule(const char* text) {
  using nj::kit::MissingRule;
  return choice("missing", text, {std::pair{"skip", MissingRule::skip}, {"literal", MissingRule::literal}});
}

nj::kit::AlphabetChoice alphabet_choice(const char* text) {
  using nj::kit::AlphabetChoice;
  return choice("alphabet", text,
                {std::pair{"auto", AlphabetChoice::automatic}, {"dna", AlphabetChoice::dna},
                 {"protein", AlphabetChoice::protein}});
}

nj::SubstitutionModel model_named(const char* text) {
  using nj::SubstitutionModel;
  return choice("model", text,
                {std::pair{"PDiff", SubstitutionModel::PDiff},
                 {"JukesCantor", SubstitutionModel::JukesCantor},
                 {"Kimura2P", SubstitutionModel::Kimura2P}, {"Poisson", SubstitutionModel::Poisson}});
}

nj::kit::SupportKind support_kind(const char* text) {
  using nj::kit::SupportKind;
  return choice("support", text, {std::pair{"split", SupportKind::split}, {"clade", SupportKind::clade}});
}

nj::kit::Undefined undefined_rule(const char* text) {
  using nj::kit::Undefined;
  return choice("undefined", text, {std::pair{"error", Undefined::error}, {"nan", Undefined::nan}});
}

unsigned thread_count(Py_ssize_t threads) {
  constexpr Py_ssize_t most = 4096;
  if (threads < 1 || threads > most) {
    PyErr_Format(PyExc_ValueError, "threads must be from 1 to %zd, not %zd", most, threads);
    throw PyErrAlreadySet{};
  }
  return static_cast<unsigned>(threads);
}

std::uint64_t unsigned_64(PyObject* value, const char* argument) {
  if (PyLong_Check(value) == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", argument, Py_TYPE(value)->tp_name);
    throw PyErrAlreadySet{};
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be from 0 to 2**64 - 1", argument);
    throw PyErrAlreadySet{};
  }
  return number;
}

std::string_view utf8_of(PyObject* text, const char* what) {
  if (PyUnicode_Check(text) == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(text)->tp_name);
    throw PyErrAlreadySet{};
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s is not valid text (it holds a lone surrogate)", what);
    throw PyErrAlreadySet{};
  }
  return {data, static_cast<std::size_t>(size)};
}

std::vector<std::string> strings_of(PyObject* sequence, const char* what) {
  const OwnedRef items = nj_py::check(PySequence_Fast(sequence, "expected a sequence of str"));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  std::vector<std::string> strings;
  strings.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    const std::string label = std::string(what) + " " + std::to_string(k + 1);
    strings.emplace_back(utf8_of(PySequence_Fast_GET_ITEM(items.get(), k), label.c_str()));
  }
  return strings;
}

OwnedRef string_list(const std::vector<std::string>& strings) {
  OwnedRef list = nj_py::check(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  for (std::size_t k = 0; k < strings.size(); ++k) {
    PyObject* text = PyUnicode_DecodeUTF8(strings[k].data(), static_cast<Py_ssize_t>(strings[k].size()),
                                          "replace");
    if (text == nullptr) throw PyErrAlreadySet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), text);
  }
  return list;
}

BufferView::BufferView(PyObject* object, int flags) {
  if (PyObject_GetBuffer(object, &view_, flags) != 0) throw PyErrAlreadySet{};
}

}  // namespace njkit
