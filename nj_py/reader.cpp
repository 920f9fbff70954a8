// SPDX-License-Identifier: MIT
// The configuration's value source over Python objects: every object shows
// one shape (map, sequence, text, boolean, integer, float, none), decided by
// a fixed order of tests; the record readers of the core do the rest.
#include "reader.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "names.hpp"
#include "nj/error.hpp"
#include "py_ref.hpp"

namespace nj_py {
namespace {

static_assert(sizeof(long) == 8, "integers are read as signed 64-bit values");

// Thrown when a signal handler that the read ran raised. Its exception is
// left set as raised: it is the caller's own doing, not a failure of the
// configuration.
struct SignalHandlerRaised {};

// What every value of one read shares. The core walks nested values with an
// explicit stack, so nesting cannot exhaust the C stack; but a container
// that holds itself would be walked for ever. Nesting is therefore bounded
// by the interpreter's recursion limit, as repr() and json bound it. Signal
// handlers run every few thousand items of work (values classified, items
// copied, handed out or released), so Ctrl-C stops even the walk of one huge
// list within a millisecond.
class ReadState {
 public:
  ReadState() noexcept : depth_limit_(Py_GetRecursionLimit()) {}

  // Called before a value `depth` levels below the configuration is classified.
  void enter(int depth) {
    if (depth > depth_limit_) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while reading the configuration");
      throw PyErrAlreadySet{};
    }
    spend(1);
  }

  // Records `items` of work; runs the signal handlers when they are due.
  void spend(std::uint64_t items) {
    work_ += items;
    if (work_ >= items_per_signal_check) run_signal_handlers();
  }

  // Runs the handlers of signals that came so far; also called right before
  // the caller's Python code runs, so that a handler's exception is not taken
  // for that code's failure.
  void run_signal_handlers() {
    work_ = 0;
    if (PyErr_CheckSignals() != 0) throw SignalHandlerRaised{};
  }

 private:
  static constexpr std::uint64_t items_per_signal_check = 4096;
  int depth_limit_;
  std::uint64_t work_ = 0;
};

// The UTF-8 content of a str; it lives as long as the str does.
std::string_view utf8(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw PyErrAlreadySet{};
  return {data, static_cast<std::size_t>(size)};
}

std::int64_t as_int64(PyObject* integer) {
  const long value = PyLong_AsLong(integer);
  if (value == -1 && PyErr_Occurred() != nullptr) throw PyErrAlreadySet{};
  return value;
}

double as_double(PyObject* number) {
  const double value = PyFloat_AsDouble(number);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw PyErrAlreadySet{};
  return value;
}

OwnedRef qualified_type_name(PyObject* object) {
  return check(PyType_GetQualName(Py_TYPE(object)));
}

// The dict that a conversion (asdict, model_dump, __dict__) produced; any
// other result is refused with the interpreter's wording for a failed cast.
OwnedRef require_dict(OwnedRef result) {
  if (PyDict_Check(result.get())) return result;
  const OwnedRef type_name = qualified_type_name(result.get());
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'dict'", type_name.get());
  throw PyErrAlreadySet{};
}

// Whether `object` has the attribute: an AttributeError means no and is
// cleared; any other exception is the caller's failure.
bool has_attribute(PyObject* object, PyObject* name) {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttr(object, name));
  if (value) return true;
  if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw PyErrAlreadySet{};
  PyErr_Clear();
  return false;
}

// dataclasses.asdict(object) when it is a dataclass instance, else nothing.
OwnedRef dataclass_as_dict(PyObject* object) {
  const OwnedRef module = check(PyImport_Import(names().dataclasses));
  const OwnedRef is_dataclass = check(PyObject_GetAttr(module.get(), names().is_dataclass));
  const OwnedRef verdict = check(PyObject_CallOneArg(is_dataclass.get(), object));
  if (check_status(PyObject_IsTrue(verdict.get())) == 0) return {};
  const OwnedRef asdict = check(PyObject_GetAttr(module.get(), names().asdict));
  return require_dict(check(PyObject_CallOneArg(asdict.get(), object)));
}

// pydantic is optional: when it cannot be imported the step does not apply.
// An interrupt (or another exception that is not an Exception) during the
// import still propagates.
OwnedRef import_pydantic() {
  OwnedRef module = OwnedRef::steal(PyImport_Import(names().pydantic));
  if (module) return module;
  PendingError failure = PendingError::fetch();
  if (failure.matches(PyExc_Exception)) return {};
  failure.restore();
  throw PyErrAlreadySet{};
}

// object.model_dump() when it is a pydantic model instance, else nothing.
OwnedRef pydantic_model_as_dict(PyObject* object) {
  const OwnedRef module = import_pydantic();
  if (!module) return {};
  const OwnedRef base_model = check(PyObject_GetAttr(module.get(), names().base_model));
  if (!PyType_Check(base_model.get())) {
    const OwnedRef type_name = qualified_type_name(base_model.get());
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'type'", type_name.get());
    throw PyErrAlreadySet{};
  }
  if (check_status(PyObject_IsInstance(object, base_model.get())) == 0) return {};
  const OwnedRef model_dump = check(PyObject_GetAttr(object, names().model_dump));
  return require_dict(check(PyObject_CallNoArgs(model_dump.get())));
}

// The instance's own attribute dict, when it has one.
OwnedRef instance_dict(PyObject* object) {
  if (!has_attribute(object, names().dunder_dict)) return {};
  return require_dict(check(PyObject_GetAttr(object, names().dunder_dict)));
}

[[noreturn]] void unsupported(PyObject* object) {
  const OwnedRef type_text = check(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(object))));
  nj::internal_failure(
      nj::fill("internal error: entered unreachable code: Unsupported type: {}", utf8(type_text.get())));
}

using Entries = std::vector<std::pair<OwnedRef, OwnedRef>>;

// A snapshot of a dict's entries in its own order. Only a signal handler can
// run while it is taken; PyDict_Next stays safe if one changes the dict.
Entries dict_entries(PyObject* dict, ReadState& state) {
  Entries entries;
  entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value) != 0) {
    entries.emplace_back(OwnedRef::borrow(key), OwnedRef::borrow(value));
    state.spend(1);
  }
  return entries;
}

// The entries of a slotted object: each item of its __slots__ is a key, and
// the attribute that str(item) names is its value, fetched at once.
Entries slot_entries(PyObject* object) {
  const OwnedRef slots = check(PyObject_GetAttr(object, names().dunder_slots));
  const OwnedRef items = check(PyObject_GetIter(slots.get()));
  Entries entries;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(items.get()))) {
    const OwnedRef attribute = check(PyObject_Str(item.get()));
    OwnedRef value = check(PyObject_GetAttr(object, attribute.get()));
    entries.emplace_back(std::move(item), std::move(value));
  }
  if (PyErr_Occurred() != nullptr) throw PyErrAlreadySet{};
  return entries;
}

class PyValue;

// Entries are presented last first.
class PyMapView final : public nj::MapView {
 public:
  PyMapView(Entries entries, ReadState& state, int depth) noexcept
      : entries_(std::move(entries)), state_(state), depth_(depth) {}
  bool next(std::unique_ptr<nj::SourceValue>& key, std::unique_ptr<nj::SourceValue>& value) override;

 private:
  Entries entries_;
  ReadState& state_;
  int depth_;  // of the entries
};

// A snapshot of a list's or tuple's elements, first to last. Only a signal
// handler can run while it is taken; should one change the list, the size
// and items are read afresh after every item.
class PySequenceView final : public nj::SequenceView {
 public:
  PySequenceView(PyObject* sequence, ReadState& state, int depth) : state_(state), depth_(depth) {
    items_.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence)));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(sequence); ++k) {
      items_.push_back(OwnedRef::borrow(PySequence_Fast_ITEMS(sequence)[k]));
      state_.spend(1);
    }
  }
  std::size_t size() const override { return items_.size(); }
  std::unique_ptr<nj::SourceValue> element(std::size_t k) override;

  // Drops the snapshot (once the values handed out hold their own
  // references) with the signal checks that a huge one needs.
  void release() {
    while (!items_.empty()) {
      items_.pop_back();
      state_.spend(1);
    }
  }

 private:
  std::vector<OwnedRef> items_;
  ReadState& state_;
  int depth_;  // of the elements
};

class PyValue final : public nj::SourceValue {
 public:
  PyValue(OwnedRef object, ReadState& state, int depth, bool may_unwrap = true) noexcept
      : object_(std::move(object)), state_(state), depth_(depth), may_unwrap_(may_unwrap) {}

  void classify(nj::ShapeVisitor& visitor) override {
    state_.enter(depth_);
    PyObject* o = object_.get();
    if (PyDict_Check(o)) return visit_map(visitor, o);
    if (PyList_Check(o) || PyTuple_Check(o)) {
      PySequenceView view(o, state_, depth_ + 1);
      visitor.sequence(view);
      return view.release();
    }
    if (PyUnicode_Check(o)) return visitor.text(utf8(o));
    if (Py_IS_TYPE(o, &PyBool_Type)) return visitor.boolean(o == Py_True);
    if (PyLong_Check(o)) return visitor.integer(as_int64(o));
    if (PyFloat_Check(o)) return visitor.floating(as_double(o));
    state_.run_signal_handlers();  // Python code runs from here on
    if (const OwnedRef dict = dataclass_as_dict(o)) return visit_map(visitor, dict.get());
    if (const OwnedRef dict = pydantic_model_as_dict(o)) return visit_map(visitor, dict.get());
    if (const OwnedRef dict = instance_dict(o)) return visit_map(visitor, dict.get());
    if (has_attribute(o, names().dunder_slots)) return visit_map(visitor, slot_entries(o));
    if (o == Py_None) return visitor.none();
    unsupported(o);
  }

  // A dict that holds the record's name as a key with a dict value is a
  // wrapper: the record is read from that inner dict alone.
  std::unique_ptr<nj::SourceValue> unwrap_record(std::string_view record_name) override {
    PyObject* o = object_.get();
    if (!may_unwrap_ || !PyDict_Check(o)) return nullptr;
    const OwnedRef key = check(PyUnicode_FromStringAndSize(
        record_name.data(), static_cast<Py_ssize_t>(record_name.size())));
    OwnedRef inner = OwnedRef::borrow(PyDict_GetItemWithError(o, key.get()));
    if (!inner) {
      if (PyErr_Occurred() != nullptr) throw PyErrAlreadySet{};
      return nullptr;
    }
    if (!PyDict_Check(inner.get())) return nullptr;
    return std::make_unique<PyValue>(std::move(inner), state_, depth_ + 1, false);
  }

  // A str names a variant; so does the str key of a one-entry dict, whose
  // value is then the payload.
  std::optional<nj::VariantForm> variant_form() override {
    PyObject* o = object_.get();
    if (PyUnicode_Check(o)) return nj::VariantForm{std::string(utf8(o)), nullptr};
    if (!PyDict_Check(o) || PyDict_GET_SIZE(o) != 1) return std::nullopt;
    Entries entries = dict_entries(o, state_);
    auto& [key, payload] = entries.front();
    if (!PyUnicode_Check(key.get())) return std::nullopt;
    return nj::VariantForm{std::string(utf8(key.get())),
                           std::make_unique<PyValue>(std::move(payload), state_, depth_ + 1)};
  }

 private:
  void visit_map(nj::ShapeVisitor& visitor, PyObject* dict) {
    PyMapView view(dict_entries(dict, state_), state_, depth_ + 1);
    visitor.map(view);
  }

  void visit_map(nj::ShapeVisitor& visitor, Entries entries) {
    PyMapView view(std::move(entries), state_, depth_ + 1);
    visitor.map(view);
  }

  OwnedRef object_;
  ReadState& state_;
  int depth_;  // levels below the configuration
  bool may_unwrap_;
};

bool PyMapView::next(std::unique_ptr<nj::SourceValue>& key, std::unique_ptr<nj::SourceValue>& value) {
  if (entries_.empty()) return false;
  state_.spend(1);
  auto& [k, v] = entries_.back();
  key = std::make_unique<PyValue>(std::move(k), state_, depth_);
  value = std::make_unique<PyValue>(std::move(v), state_, depth_);
  entries_.pop_back();
  return true;
}

std::unique_ptr<nj::SourceValue> PySequenceView::element(std::size_t k) {
  state_.spend(1);
  return std::make_unique<PyValue>(OwnedRef::borrow(items_.at(k).get()), state_, depth_);
}

// Turns the exception that ended a read into the ValueError the caller
// sees: "<type qualname>: <str(exception)>". Running out of memory and
// exceptions that are not Exceptions (KeyboardInterrupt, SystemExit) are
// not configuration faults and stay as raised.
void raise_reader_error() {
  PendingError failure = PendingError::fetch();
  if (!failure) {
    raise_system_error_if_unset();
    return;
  }
  if (!failure.matches(PyExc_Exception) || failure.matches(PyExc_MemoryError)) {
    failure.restore();
    return;
  }
  PyObject* exception = failure.value.get();
  OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(exception)));
  if (!type_name) {
    PyErr_Clear();
    type_name = OwnedRef::steal(PyUnicode_FromString(Py_TYPE(exception)->tp_name));
    if (!type_name) return;
  }
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    text = OwnedRef::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return;
  }
  const OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_rule_error(const std::string& message) noexcept {
  const OwnedRef text = decode_replacing(message);
  if (!text) return;
  const OwnedRef value = OwnedRef::steal(PyUnicode_FromFormat("RuntimeError: %U", text.get()));
  if (value) PyErr_SetObject(PyExc_ValueError, value.get());
}

}  // namespace

std::optional<nj::NJConfig> read_config(PyObject* py_config) {
  std::expected<nj::NJConfig, std::string> config;
  try {
    ReadState state;
    PyValue root(OwnedRef::borrow(py_config), state, 0);
    config = nj::read_config(root);
  } catch (const PyErrAlreadySet&) {
    raise_reader_error();
    return std::nullopt;
  } catch (const SignalHandlerRaised&) {
    return std::nullopt;
  }
  if (!config) {
    raise_rule_error(config.error());
    return std::nullopt;
  }
  return std::move(*config);
}

}  // namespace nj_py
