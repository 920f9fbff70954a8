// SPDX-License-Identifier: MIT
// Alignment and FastaParser, and the functions that make alignments.
#include <cstring>

#include "objects.hpp"

namespace njkit {

namespace {

using nj::kit::Alignment;

const char* residues_name(nj::kit::Residues residues) noexcept {
  return residues == nj::kit::Residues::dna ? "dna" : "protein";
}

const char* missing_name(nj::kit::MissingRule rule) noexcept {
  return rule == nj::kit::MissingRule::skip ? "skip" : "literal";
}

PyObject* alignment_object(Alignment alignment) {
  return wrap(types().alignment, std::make_shared<const Alignment>(std::move(alignment)));
}

const Alignment& alignment_of(PyObject* self) { return *held<const Alignment>(self); }

PyObject* get_identifiers(PyObject* self, void*) {
  return boundary([&] { return string_list(alignment_of(self).identifiers()).release(); });
}
PyObject* get_n(PyObject* self, void*) { return PyLong_FromSize_t(alignment_of(self).size()); }
PyObject* get_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(alignment_of(self).length());
}
PyObject* get_alphabet(PyObject* self, void*) {
  return PyUnicode_FromString(residues_name(alignment_of(self).residues()));
}
PyObject* get_missing(PyObject* self, void*) {
  return PyUnicode_FromString(missing_name(alignment_of(self).missing()));
}

PyObject* alignment_repr(PyObject* self) {
  const Alignment& alignment = alignment_of(self);
  return PyUnicode_FromFormat("<njkit._core.Alignment: %zu %s sequences of %llu columns, missing=%s>",
                              alignment.size(), residues_name(alignment.residues()),
                              static_cast<unsigned long long>(alignment.length()),
                              missing_name(alignment.missing()));
}

// Pickled as its identifiers and encoded rows, never as text.
PyObject* alignment_reduce(PyObject* self, PyObject*) {
  return boundary([&] {
    const Alignment& alignment = alignment_of(self);
    const auto planes = alignment.planes();
    const OwnedRef bytes = nj_py::check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(planes.data()), static_cast<Py_ssize_t>(planes.size_bytes())));
    const OwnedRef identifiers = string_list(alignment.identifiers());
    OwnedRef args = nj_py::check(Py_BuildValue(
        "(OKssO)", identifiers.get(), static_cast<unsigned long long>(alignment.length()),
        residues_name(alignment.residues()), missing_name(alignment.missing()), bytes.get()));
    return reduce_with("_alignment_from_state", std::move(args));
  });
}

PyObject* alignment_from_state(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* identifiers = nullptr;
    PyObject* length = nullptr;
    const char* alphabet = nullptr;
    const char* missing = nullptr;
    PyObject* planes = nullptr;
    if (PyArg_ParseTuple(args, "OOssS:_alignment_from_state", &identifiers, &length, &alphabet,
                         &missing, &planes) == 0) {
      return nullptr;
    }
    const auto residues = alphabet_choice(alphabet) == nj::kit::AlphabetChoice::protein
                              ? nj::kit::Residues::protein
                              : nj::kit::Residues::dna;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(planes)),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(planes)));
    return alignment_object(value_or_raise(
        Alignment::from_planes(strings_of(identifiers, "identifier"), unsigned_64(length, "length"),
                               residues, missing_rule(missing), bytes)));
  });
}

PyGetSetDef alignment_getset[] = {
    {"identifiers", get_identifiers, nullptr, "The sequence identifiers, in input order.", nullptr},
    {"n", get_n, nullptr, "The number of sequences.", nullptr},
    {"length", get_length, nullptr, "The number of columns.", nullptr},
    {"alphabet", get_alphabet, nullptr, "'dna' or 'protein'.", nullptr},
    {"missing", get_missing, nullptr, "'skip' or 'literal'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef alignment_methods[] = {
    {"__reduce__", alignment_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot alignment_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(release_holder<const Alignment>)},
    {Py_tp_repr, reinterpret_cast<void*>(alignment_repr)},
    {Py_tp_getset, alignment_getset},
    {Py_tp_methods, alignment_methods},
    {Py_tp_doc, const_cast<char*>("An alignment encoded by the core as bit planes; immutable.")},
    {0, nullptr},
};

PyType_Spec alignment_spec = {
    "njkit._core.Alignment", sizeof(Holder<const Alignment>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    alignment_slots,
};

// A parser serves one thread at a time: it is marked busy, under the lock,
// for the length of each call.
struct ParserState {
  nj::kit::FastaParser parser;
  bool busy = false;
};

class BusyMark {
 public:
  explicit BusyMark(ParserState& state) : state_(state) {
    if (state.busy) {
      PyErr_SetString(PyExc_RuntimeError, "the FastaParser is in use by another thread");
      throw PyErrAlreadySet{};
    }
    state.busy = true;
  }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;
  ~BusyMark() { state_.busy = false; }

 private:
  ParserState& state_;
};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"missing", "alphabet", "source", nullptr};
    const char* missing = nullptr;
    const char* alphabet = "auto";
    const char* source = "<input>";
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|$sss:FastaParser", const_cast<char**>(keywords),
                                    &missing, &alphabet, &source) == 0) {
      return nullptr;
    }
    require(missing != nullptr, "FastaParser", "missing");
    return wrap(type, std::make_shared<ParserState>(
                          nj::kit::FastaParser(missing_rule(missing), alphabet_choice(alphabet), source)));
  });
}

// Large pieces are parsed in slices, with the signal handlers run between
// them, so that Ctrl-C is not kept waiting.
PyObject* parser_feed(PyObject* self, PyObject* data) {
  return boundary([&]() -> PyObject* {
    const std::shared_ptr<ParserState> state = held<ParserState>(self);
    const BusyMark busy(*state);
    const BufferView view(data, PyBUF_SIMPLE);
    std::string_view rest(static_cast<const char*>(view->buf), static_cast<std::size_t>(view->len));
    constexpr std::size_t slice = std::size_t{16} << 20;
    while (!rest.empty()) {
      const std::string_view piece = rest.substr(0, slice);
      rest.remove_prefix(piece.size());
      auto fed = without_lock([&](LockReleased&) { return state->parser.feed(piece); });
      value_or_raise(std::move(fed));
      if (!rest.empty() && PyErr_CheckSignals() != 0) return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* parser_finish(PyObject* self, PyObject*) {
  return boundary([&] {
    const std::shared_ptr<ParserState> state = held<ParserState>(self);
    const BusyMark busy(*state);
    auto finished = without_lock([&](LockReleased&) { return state->parser.finish(); });
    return alignment_object(value_or_raise(std::move(finished)));
  });
}

PyMethodDef parser_methods[] = {
    {"feed", parser_feed, METH_O, "feed(data)\n--\n\nParses the next piece of FASTA text (bytes-like)."},
    {"finish", parser_finish, METH_NOARGS, "finish()\n--\n\nThe alignment read; the parser is done."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(release_holder<ParserState>)},
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("FastaParser(*, missing, alphabet='auto', source='<input>')\n--\n\n"
                                  "A FASTA reader fed in pieces of any size, for compressed files "
                                  "and streams.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "njkit._core.FastaParser", sizeof(Holder<ParserState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, parser_slots,
};

PyObject* read_fasta(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"path", "missing", "alphabet", nullptr};
    PyObject* path = nullptr;
    const char* missing = nullptr;
    const char* alphabet = "auto";
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$ss:read_fasta", const_cast<char**>(keywords),
                                    PyUnicode_FSConverter, &path, &missing, &alphabet) == 0) {
      return nullptr;
    }
    const OwnedRef path_bytes = OwnedRef::steal(path);
    require(missing != nullptr, "read_fasta", "missing");
    const std::string file(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
    const auto rule = missing_rule(missing);
    const auto choice = alphabet_choice(alphabet);
    CallMonitor monitor(nullptr, 0);
    auto read = without_lock(
        [&](LockReleased& lock) { return nj::kit::read_fasta(file, rule, choice, monitor.in(lock)); });
    return alignment_object(value_or_raise(std::move(read)));
  });
}

// A sequence as bytes: the UTF-8 of a str, the bytes of bytes, or a copy of
// any other buffer. `kept` holds what the bytes live in, so that they
// outlive any change to the caller's list while the lock is given up.
std::string_view sequence_bytes(PyObject* item, std::size_t number, std::vector<OwnedRef>& kept) {
  const std::string label = "sequence " + std::to_string(number);
  if (PyUnicode_Check(item) == 0 && PyBytes_Check(item) == 0 && PyObject_CheckBuffer(item) == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be str or bytes, not %.200s", label.c_str(),
                 Py_TYPE(item)->tp_name);
    throw PyErrAlreadySet{};
  }
  kept.push_back(PyUnicode_Check(item) != 0 || PyBytes_Check(item) != 0
                     ? OwnedRef::borrow(item)
                     : nj_py::check(PyBytes_FromObject(item)));
  item = kept.back().get();
  if (PyUnicode_Check(item) != 0) return utf8_of(item, label.c_str());
  return {PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))};
}

PyObject* alignment_from_sequences(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"identifiers", "sequences", "missing", "alphabet", nullptr};
    PyObject* identifiers = nullptr;
    PyObject* sequences = nullptr;
    const char* missing = nullptr;
    const char* alphabet = "auto";
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$ss:alignment_from_sequences",
                                    const_cast<char**>(keywords), &identifiers, &sequences,
                                    &missing, &alphabet) == 0) {
      return nullptr;
    }
    require(missing != nullptr, "alignment_from_sequences", "missing");
    const auto rule = missing_rule(missing);
    const auto choice = alphabet_choice(alphabet);
    std::vector<std::string> names = strings_of(identifiers, "identifier");
    const OwnedRef items = nj_py::check(PySequence_Fast(sequences, "sequences must be a sequence"));
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    if (count != names.size()) {
      return PyErr_Format(PyExc_ValueError, "%zu identifiers but %zu sequences", names.size(), count);
    }
    std::vector<OwnedRef> kept;
    std::vector<std::string_view> texts;
    kept.reserve(count);
    texts.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
      texts.push_back(sequence_bytes(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k)),
                                     k + 1, kept));
    }
    CallMonitor monitor(nullptr, 0);
    auto encoded = without_lock([&](LockReleased& lock) {
      return nj::kit::encode_sequences(std::move(names), texts, rule, choice, monitor.in(lock));
    });
    return alignment_object(value_or_raise(std::move(encoded)));
  });
}

PyMethodDef functions[] = {
    {"read_fasta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read_fasta)),
     METH_VARARGS | METH_KEYWORDS,
     "read_fasta(path, *, missing, alphabet='auto')\n--\n\n"
     "Reads and encodes a plain FASTA file; the identifier is the header's first word."},
    {"alignment_from_sequences",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(alignment_from_sequences)),
     METH_VARARGS | METH_KEYWORDS,
     "alignment_from_sequences(identifiers, sequences, *, missing, alphabet='auto')\n--\n\n"
     "Encodes sequences (str or bytes, one column per byte)."},
    {"_alignment_from_state", alignment_from_state, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_alignment_parts(PyObject* module) {
  types().alignment = add_type(module, alignment_spec);
  types().fasta_parser = add_type(module, parser_spec);
  nj_py::check_status(PyModule_AddFunctions(module, functions));
}

}  // namespace njkit
