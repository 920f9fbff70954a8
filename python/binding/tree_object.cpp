// SPDX-License-Identifier: MIT
// MainTree, build_tree and count_support.
#include <cstring>

#include "objects.hpp"

namespace njkit {

namespace {

using nj::kit::Distances;
using nj::kit::MainTree;

PyObject* tree_object(MainTree tree) {
  return wrap(types().main_tree, std::make_shared<const MainTree>(std::move(tree)));
}

const MainTree& tree_of(PyObject* self) { return *held<const MainTree>(self); }

PyObject* get_n(PyObject* self, void*) { return PyLong_FromSize_t(tree_of(self).size()); }

OwnedRef text_of(const std::string& text) {
  return nj_py::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Support counts as given back by count_support: n - 1 unsigned 64-bit
// integers, as bytes or as a typed buffer.
std::vector<std::uint64_t> counts_of(PyObject* counts, std::size_t slots) {
  const BufferView view(counts, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
  const std::string_view format = view->format ? view->format : "B";
  const bool bytes = format == "B" || format == "b" || format == "c";
  const bool words = view->itemsize == 8 &&
                     (format == "Q" || format == "L" || format == "=Q" || format == "<Q" ||
                      format == "@Q" || format == "@L");
  if ((!bytes && !words) || static_cast<std::size_t>(view->len) != slots * sizeof(std::uint64_t)) {
    PyErr_Format(PyExc_ValueError, "counts must be %zu unsigned 64-bit integers", slots);
    throw PyErrAlreadySet{};
  }
  std::vector<std::uint64_t> values(slots);
  if (slots > 0) std::memcpy(values.data(), view->buf, slots * sizeof(std::uint64_t));
  return values;
}

PyObject* tree_newick(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"counts", "replicates", "percent", "support", nullptr};
    PyObject* counts = Py_None;
    PyObject* replicates = nullptr;
    int percent = 0;
    const char* support = "split";
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|OOps:newick", const_cast<char**>(keywords),
                                    &counts, &replicates, &percent, &support) == 0) {
      return nullptr;
    }
    const MainTree& tree = tree_of(self);
    const nj::kit::LabelStyle style{support_kind(support),
                                    replicates ? unsigned_64(replicates, "replicates") : 0,
                                    percent != 0};
    if (counts == Py_None) return text_of(nj::kit::newick(tree)).release();
    if (style.percent && style.replicates == 0) {
      return PyErr_Format(PyExc_ValueError, "percentages need the number of replicates");
    }
    const std::vector<std::uint64_t> values = counts_of(counts, tree.size() - 1);
    return text_of(nj::kit::newick(tree, values, style)).release();
  });
}

template <class T>
OwnedRef bytes_of(std::span<const T> values) {
  return nj_py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                static_cast<Py_ssize_t>(values.size_bytes())));
}

PyObject* tree_reduce(PyObject* self, PyObject*) {
  return boundary([&] {
    const MainTree& tree = tree_of(self);
    const OwnedRef names = string_list(tree.names());
    const OwnedRef children = bytes_of(tree.children());
    const OwnedRef lengths = bytes_of(tree.lengths());
    OwnedRef args =
        nj_py::check(Py_BuildValue("(OOO)", names.get(), children.get(), lengths.get()));
    return reduce_with("_tree_from_state", std::move(args));
  });
}

template <class T>
std::vector<T> words_of(PyObject* bytes) {
  std::vector<T> values(static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(T));
  if (!values.empty()) std::memcpy(values.data(), PyBytes_AS_STRING(bytes), values.size() * sizeof(T));
  return values;
}

PyObject* tree_from_state(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* names = nullptr;
    PyObject* children = nullptr;
    PyObject* lengths = nullptr;
    if (PyArg_ParseTuple(args, "OSS:_tree_from_state", &names, &children, &lengths) == 0) {
      return nullptr;
    }
    if (PyBytes_GET_SIZE(children) % 8 != 0 || PyBytes_GET_SIZE(lengths) % 8 != 0) {
      return PyErr_Format(PyExc_ValueError, "children and lengths must be whole 8-byte words");
    }
    return tree_object(value_or_raise(MainTree::from_parts(
        strings_of(names, "name"), words_of<std::uint64_t>(children), words_of<double>(lengths))));
  });
}

PyObject* tree_repr(PyObject* self) {
  return PyUnicode_FromFormat("<njkit._core.MainTree: %zu leaves>", tree_of(self).size());
}

PyGetSetDef tree_getset[] = {
    {"n", get_n, nullptr, "The number of leaves.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tree_methods[] = {
    {"newick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tree_newick)),
     METH_VARARGS | METH_KEYWORDS,
     "newick(counts=None, replicates=0, percent=False, support='split')\n--\n\n"
     "The Newick text, labelled with the counts of count_support (or their percentages)."},
    {"__reduce__", tree_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(release_holder<const MainTree>)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_tp_getset, tree_getset},
    {Py_tp_methods, tree_methods},
    {Py_tp_doc, const_cast<char*>("The exact Neighbor-Joining tree, as _nj_py builds it.")},
    {0, nullptr},
};

PyType_Spec tree_spec = {
    "njkit._core.MainTree", sizeof(Holder<const MainTree>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, tree_slots,
};

// With consume=True the matrix moves into the engine, unless another call
// holds it too: then it is copied, and the object is empty all the same.
PyObject* build_tree(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"dist", "consume", nullptr};
    PyObject* dist = nullptr;
    int consume = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:build_tree", const_cast<char**>(keywords),
                                    &dist, &consume) == 0) {
      return nullptr;
    }
    std::shared_ptr<Distances> source = value_of<Distances>(dist, types().distances, "Distances");
    if (!source) {
      PyErr_SetString(PyExc_ValueError, "these distances were consumed by build_tree(consume=True)");
      return nullptr;
    }
    const bool take = consume != 0 && source.use_count() == 2;  // the object's share and ours
    if (consume != 0) held<Distances>(dist).reset();
    CallMonitor monitor(nullptr, 0);
    auto tree = without_lock([&](LockReleased& lock) {
      Distances matrix = take ? std::move(*source) : *source;
      return nj::kit::build_tree(std::move(matrix), monitor.in(lock));
    });
    source.reset();
    return tree_object(value_or_raise(std::move(tree)));
  });
}

PyObject* count_support(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"aln",     "tree",      "model",       "seed",
                                     "first",   "count",     "support",     "threads",
                                     "undefined", "on_progress", nullptr};
    PyObject *aln = nullptr, *tree = nullptr, *seed = nullptr, *first = nullptr, *count = nullptr;
    const char* model = nullptr;
    const char* support = "split";
    Py_ssize_t threads = 1;
    const char* undefined = "error";
    PyObject* on_progress = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$sOOOsnsO:count_support",
                                    const_cast<char**>(keywords), &aln, &tree, &model, &seed,
                                    &first, &count, &support, &threads, &undefined,
                                    &on_progress) == 0) {
      return nullptr;
    }
    require(model != nullptr, "count_support", "model");
    require(seed != nullptr, "count_support", "seed");
    require(first != nullptr, "count_support", "first");
    require(count != nullptr, "count_support", "count");
    const auto alignment = value_of<const nj::kit::Alignment>(aln, types().alignment, "an Alignment");
    const auto main_tree = value_of<const MainTree>(tree, types().main_tree, "a MainTree");
    if (on_progress != Py_None && PyCallable_Check(on_progress) == 0) {
      return PyErr_Format(PyExc_TypeError, "on_progress must be callable, not %.200s",
                          Py_TYPE(on_progress)->tp_name);
    }
    nj::kit::SupportRequest request;
    request.model = model_named(model);
    request.kind = support_kind(support);
    request.seed = unsigned_64(seed, "seed");
    request.first = unsigned_64(first, "first");
    request.count = unsigned_64(count, "count");
    request.threads = thread_count(threads);
    request.undefined = undefined_rule(undefined);
    CallMonitor monitor(on_progress, request.count);
    auto counts = without_lock([&](LockReleased& lock) {
      return nj::kit::count_support(*alignment, *main_tree, request, monitor.in(lock));
    });
    return bytes_of(std::span<const std::uint64_t>(value_or_raise(std::move(counts)))).release();
  });
}

PyMethodDef functions[] = {
    {"build_tree", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(build_tree)),
     METH_VARARGS | METH_KEYWORDS,
     "build_tree(dist, *, consume=False)\n--\n\n"
     "The exact Neighbor-Joining tree of a distance matrix; consume=True moves the matrix into\n"
     "the engine instead of copying it."},
    {"count_support", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(count_support)),
     METH_VARARGS | METH_KEYWORDS,
     "count_support(aln, tree, *, model, seed, first, count, support='split', threads=1,\n"
     "              undefined='error', on_progress=None)\n--\n\n"
     "Counts of replicates first .. first + count - 1 per inner node of the tree, as n - 1\n"
     "unsigned 64-bit integers in native byte order."},
    {"_tree_from_state", tree_from_state, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_tree_parts(PyObject* module) {
  types().main_tree = add_type(module, tree_spec);
  nj_py::check_status(PyModule_AddFunctions(module, functions));
}

}  // namespace njkit
