// SPDX-License-Identifier: MIT
// Distances: distance matrices held by the core, from alignments or arrays.
#include <cstring>

#include "objects.hpp"

namespace njkit {

namespace {

using nj::kit::Distances;

PyObject* distances_object(Distances distances) {
  return wrap(types().distances, std::make_shared<Distances>(std::move(distances)));
}

// The matrix of a Distances object; ValueError once build_tree consumed it.
std::shared_ptr<Distances> matrix_of(PyObject* self) {
  std::shared_ptr<Distances> matrix = held<Distances>(self);
  if (!matrix) {
    PyErr_SetString(PyExc_ValueError, "these distances were consumed by build_tree(consume=True)");
    throw PyErrAlreadySet{};
  }
  return matrix;
}

PyObject* get_names(PyObject* self, void*) {
  return boundary([&] { return string_list(matrix_of(self)->names).release(); });
}

PyObject* get_n(PyObject* self, void*) {
  return boundary([&] { return PyLong_FromSize_t(matrix_of(self)->names.size()); });
}

bool is_float64(const Py_buffer& view) noexcept {
  const std::string_view format = view.format ? view.format : "B";
  return view.itemsize == 8 && (format == "d" || format == "<d" || format == "=d" || format == "@d");
}

// Rows are written in slices, with the signal handlers run between them.
PyObject* distances_to_square(PyObject* self, PyObject* out) {
  return boundary([&]() -> PyObject* {
    const std::shared_ptr<Distances> matrix = matrix_of(self);
    const BufferView view(out, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    const std::size_t n = matrix->names.size();
    if (!is_float64(*view) || static_cast<std::size_t>(view->len) != n * n * sizeof(double)) {
      return PyErr_Format(PyExc_ValueError,
                          "to_square needs a writable C-contiguous float64 buffer of %zu x %zu values",
                          n, n);
    }
    auto* square = static_cast<double*>(view->buf);
    const std::size_t rows = std::max<std::size_t>(1, (std::size_t{1} << 24) / std::max<std::size_t>(n, 1));
    for (std::size_t first = 0; first < n; first += rows) {
      without_lock([&](LockReleased&) {
        nj::kit::write_square(*matrix, square, first, std::min(n, first + rows));
        return true;
      });
      if (PyErr_CheckSignals() != 0) return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* distances_reduce(PyObject* self, PyObject*) {
  return boundary([&] {
    const std::shared_ptr<Distances> matrix = matrix_of(self);
    const OwnedRef values = nj_py::check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(matrix->values.data()),
        static_cast<Py_ssize_t>(matrix->values.size() * sizeof(double))));
    const OwnedRef names = string_list(matrix->names);
    OwnedRef args = nj_py::check(Py_BuildValue("(OO)", names.get(), values.get()));
    return reduce_with("_distances_from_state", std::move(args));
  });
}

PyObject* distances_repr(PyObject* self) {
  const std::shared_ptr<Distances>& matrix = held<Distances>(self);
  if (!matrix) return PyUnicode_FromString("<njkit._core.Distances: consumed>");
  return PyUnicode_FromFormat("<njkit._core.Distances: %zu x %zu>", matrix->names.size(),
                              matrix->names.size());
}

PyGetSetDef distances_getset[] = {
    {"names", get_names, nullptr, "The names of the rows, in order.", nullptr},
    {"n", get_n, nullptr, "The number of rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef distances_methods[] = {
    {"to_square", distances_to_square, METH_O,
     "to_square(out)\n--\n\nFills a writable C-contiguous float64 buffer of n * n values."},
    {"__reduce__", distances_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot distances_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(release_holder<Distances>)},
    {Py_tp_repr, reinterpret_cast<void*>(distances_repr)},
    {Py_tp_getset, distances_getset},
    {Py_tp_methods, distances_methods},
    {Py_tp_doc, const_cast<char*>("A distance matrix held by the core.")},
    {0, nullptr},
};

PyType_Spec distances_spec = {
    "njkit._core.Distances", sizeof(Holder<Distances>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    distances_slots,
};

PyObject* distances_from_alignment(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"aln", "model", "threads", "undefined", nullptr};
    PyObject* aln = nullptr;
    const char* model = nullptr;
    Py_ssize_t threads = 1;
    const char* undefined = "error";
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|$sns:distances_from_alignment",
                                    const_cast<char**>(keywords), &aln, &model, &threads,
                                    &undefined) == 0) {
      return nullptr;
    }
    require(model != nullptr, "distances_from_alignment", "model");
    const auto alignment = value_of<const nj::kit::Alignment>(aln, types().alignment, "an Alignment");
    const nj::kit::DistanceOptions options{model_named(model), thread_count(threads),
                                           undefined_rule(undefined)};
    CallMonitor monitor(nullptr, 0);
    auto distances = without_lock([&](LockReleased& lock) {
      return nj::kit::alignment_distances(*alignment, options, monitor.in(lock));
    });
    return distances_object(value_or_raise(std::move(distances)));
  });
}

PyObject* distances_from_array(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"names", "values", "layout", nullptr};
    PyObject* names = nullptr;
    PyObject* values = nullptr;
    const char* layout = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$s:distances_from_array",
                                    const_cast<char**>(keywords), &names, &values, &layout) == 0) {
      return nullptr;
    }
    require(layout != nullptr, "distances_from_array", "layout");
    const bool square = choice("layout", layout, {std::pair{"square", true}, {"condensed", false}});
    std::vector<std::string> labels = strings_of(names, "name");
    const BufferView view(values, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    if (!is_float64(*view)) {
      PyErr_SetString(PyExc_ValueError, "values must be a C-contiguous float64 buffer");
      return nullptr;
    }
    const std::span<const double> numbers(static_cast<const double*>(view->buf),
                                          static_cast<std::size_t>(view->len) / sizeof(double));
    CallMonitor monitor(nullptr, 0);
    auto distances = without_lock([&](LockReleased& lock) {
      return square ? nj::kit::distances_from_square(std::move(labels), numbers, monitor.in(lock))
                    : nj::kit::distances_from_condensed(std::move(labels), numbers, monitor.in(lock));
    });
    return distances_object(value_or_raise(std::move(distances)));
  });
}

PyObject* distances_from_state(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* names = nullptr;
    PyObject* values = nullptr;
    if (PyArg_ParseTuple(args, "OS:_distances_from_state", &names, &values) == 0) return nullptr;
    Distances distances{strings_of(names, "name"), {}};
    const std::size_t n = distances.names.size();
    const auto bytes = static_cast<std::size_t>(PyBytes_GET_SIZE(values));
    if (bytes != (n < 2 ? 0 : n * (n - 1) / 2) * sizeof(double)) {
      return PyErr_Format(PyExc_ValueError, "%zu bytes of distances do not fit %zu names", bytes, n);
    }
    distances.values.resize(bytes / sizeof(double));
    if (bytes > 0) std::memcpy(distances.values.data(), PyBytes_AS_STRING(values), bytes);
    return distances_object(std::move(distances));
  });
}

PyMethodDef functions[] = {
    {"distances_from_alignment",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(distances_from_alignment)),
     METH_VARARGS | METH_KEYWORDS,
     "distances_from_alignment(aln, *, model, threads=1, undefined='error')\n--\n\n"
     "The distance matrix of an alignment, rows shared out among the threads."},
    {"distances_from_array",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(distances_from_array)),
     METH_VARARGS | METH_KEYWORDS,
     "distances_from_array(names, values, *, layout)\n--\n\n"
     "A matrix from float64 values: 'square' (n * n, symmetric, zero diagonal) or 'condensed'\n"
     "(n (n - 1) / 2 values in the order (0, 1), (0, 2), ..., (1, 2), ...)."},
    {"_distances_from_state", distances_from_state, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_distance_parts(PyObject* module) {
  types().distances = add_type(module, distances_spec);
  nj_py::check_status(PyModule_AddFunctions(module, functions));
}

}  // namespace njkit
