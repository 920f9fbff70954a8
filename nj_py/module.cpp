// SPDX-License-Identifier: MIT
// The extension module _nj_py: its initialiser, the function nj and the
// boundary that turns every outcome of a run into a Python value or exception.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "names.hpp"
#include "nj/error.hpp"
#include "nj/lib.hpp"
#include "nj/stop.hpp"
#include "py_ref.hpp"
#include "reader.hpp"

namespace nj_py {
namespace {

// Process-wide state, each item set once: the interpreter the module belongs
// to, the module object itself and the PanicException class. The module and
// the class are kept (never released) for the rest of the process.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;
PyObject* panic_exception = nullptr;

constexpr const char* panic_doc =
    "Raised when the library fails internally: a broken assumption, not bad input.\n"
    "\n"
    "It derives from BaseException rather than Exception, so that it propagates\n"
    "through ordinary `except Exception` handlers.";

PyObject* raise_panic(std::string_view message) {
  if (panic_exception == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  const OwnedRef text = decode_replacing(message);
  if (!text) return nullptr;
  PySys_FormatStderr("_nj_py: internal failure: %U\n", text.get());
  PyErr_SetObject(panic_exception, text.get());
  return nullptr;
}

// Runs `body` (which returns a new reference, or null with an exception set)
// and maps every C++ failure that leaves it to its Python exception.
template <class Body>
PyObject* boundary(Body&& body) {
  const CallThread call;
  try {
    return body();
  } catch (const PyErrAlreadySet&) {
    return raise_system_error_if_unset();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const nj::InternalError& failure) {
    return raise_panic(failure.message());
  } catch (const std::exception& failure) {
    return raise_panic(failure.what());
  } catch (...) {
    // What is not a C++ exception is not ours to turn into a Python one. The
    // forced unwinding that ends a thread (abi::__forced_unwind: the
    // interpreter ends a daemon thread that wants the lock back while it
    // finalizes) is such, and goes on through the interpreter's frames to the
    // thread's end. It is told by having no exception object: a handler for
    // abi::__forced_unwind would bind a reference to none.
    if (!std::current_exception()) throw;
    return raise_panic("unknown internal failure");
  }
}

struct Arguments {
  PyObject* py_config = nullptr;    // borrowed
  PyObject* on_progress = nullptr;  // borrowed; null when absent or None
};

constexpr const char* parameter_names[] = {"py_config", "on_progress"};
constexpr Py_ssize_t parameter_count = 2;

Py_ssize_t parameter_index(PyObject* keyword) noexcept {
  for (Py_ssize_t k = 0; k < parameter_count; ++k) {
    if (PyUnicode_CompareWithASCIIString(keyword, parameter_names[k]) == 0) return k;
  }
  return -1;
}

// Binds (py_config, on_progress=None) in the interpreter's order and with
// its wording; returns false with a TypeError set.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
  if (nargs > parameter_count) {
    PyErr_Format(PyExc_TypeError,
                 "nj() takes from 1 to 2 positional arguments but %zd were given", nargs);
    return false;
  }
  PyObject* values[parameter_count] = {nullptr, nullptr};
  for (Py_ssize_t k = 0; k < nargs; ++k) values[k] = args[k];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = parameter_index(keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "nj() got an unexpected keyword argument '%U'", keyword);
      return false;
    }
    if (values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "nj() got multiple values for argument '%s'",
                   parameter_names[index]);
      return false;
    }
    values[index] = args[nargs + k];
  }
  if (values[0] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "nj() missing 1 required positional argument: 'py_config'");
    return false;
  }
  out.py_config = values[0];
  out.on_progress = values[1] == Py_None ? nullptr : values[1];
  return true;
}

// What a run shares with the Python side: the progress callback, and the
// Python exception that made the run stop (an interrupt seen between units
// of work, or an exception from the callback that must not be swallowed).
class RunContext {
 public:
  explicit RunContext(PyObject* on_progress) noexcept : callback_(OwnedRef::borrow(on_progress)) {}

  bool has_callback() const noexcept { return static_cast<bool>(callback_); }

  // Signal handlers run here, so Ctrl-C reaches a long run; one that raises
  // stops the run.
  bool should_stop() {
    if (PyErr_CheckSignals() == 0) return false;
    stop_reason_ = PendingError::fetch();
    return true;
  }

  // Calls on_progress(completed, total). Its result is ignored and an
  // ordinary Exception it raises is discarded; anything else (KeyboardInterrupt,
  // SystemExit, PanicException, even one that is also an Exception) stops the
  // run and reaches the caller. Signals that came during the replicate are
  // handled first, so that a handler's exception is not taken for the
  // callback's and discarded.
  void report(std::uint64_t completed, std::uint64_t total) {
    if (should_stop()) throw nj::Cancelled();
    if (call_callback(completed, total)) return;
    PendingError failure = PendingError::fetch();
    if (!failure) return;
    if (failure.matches(panic_exception)) {
      print_callback_panic(failure);
    } else if (failure.matches(PyExc_Exception)) {
      return;
    }
    stop_reason_ = std::move(failure);
    throw nj::Cancelled();
  }

  // After the run stopped: puts the exception that stopped it back.
  PyObject* raise_stop_reason() noexcept {
    if (stop_reason_) stop_reason_.restore();
    return raise_system_error_if_unset();
  }

 private:
  bool call_callback(std::uint64_t completed, std::uint64_t total) {
    const OwnedRef done = OwnedRef::steal(PyLong_FromUnsignedLongLong(completed));
    const OwnedRef all = OwnedRef::steal(PyLong_FromUnsignedLongLong(total));
    if (!done || !all) return false;
    PyObject* argv[] = {done.get(), all.get()};
    const OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(callback_.get(), argv, 2, nullptr));
    return static_cast<bool>(result);
  }

  static void print_callback_panic(const PendingError& failure) {
    PySys_WriteStderr("_nj_py: the progress callback raised PanicException; the run is abandoned\n");
    PyErr_Display(failure.type.get(), failure.value.get(), failure.traceback.get());
  }

  OwnedRef callback_;
  PendingError stop_reason_;
};

PyObject* run(nj::NJConfig config, RunContext& context) {
  nj::ProgressFn progress;
  if (context.has_callback()) {
    progress = [&context](std::uint64_t completed, std::uint64_t total) {
      context.report(completed, total);
    };
  }
  const nj::StopCheck stop = [&context] { return context.should_stop(); };
  std::expected<std::string, std::string> newick;
  try {
    newick = nj::nj(std::move(config), progress, stop);
  } catch (const nj::Cancelled&) {
    return context.raise_stop_reason();
  }
  if (!newick) {
    const OwnedRef message = decode_replacing(newick.error());
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return PyUnicode_DecodeUTF8(newick->data(), static_cast<Py_ssize_t>(newick->size()), nullptr);
}

PyObject* call_nj(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments arguments;
  if (!bind_arguments(args, nargs, kwnames, arguments)) return nullptr;
  RunContext context(arguments.on_progress);
  std::optional<nj::NJConfig> config = read_config(arguments.py_config);
  if (!config) return nullptr;
  return run(std::move(*config), context);
}

PyObject* nj_fastcall(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return boundary([&] { return call_nj(args, PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), kwnames); });
}

PyMethodDef nj_method = {
    "nj",
    // The fast-call signature differs from PyCFunction; METH_FASTCALL tells
    // the interpreter which one it is.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(nj_fastcall)),
    METH_FASTCALL | METH_KEYWORDS,
    "nj(py_config, on_progress=None)\n"
    "--\n"
    "\n"
    "Run Neighbor-Joining and return a Newick string.\n"
    "\n"
    "`config` must be a dict matching the shape described in the module\n"
    "documentation. `on_progress`, if provided, is called as\n"
    "`on_progress(completed, total)` after each bootstrap replicate.\n"
    "Raises `ValueError` if the config is malformed or if the NJ algorithm\n"
    "fails (e.g. incompatible model for the detected alphabet).",
};

// A state size of 0 (not -1) makes a repeated import call the initialiser
// again, which hands back the one module object.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_nj_py",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds the function as an attribute and lists its name in __all__.
void add_function(PyObject* module, PyMethodDef* def) {
  const OwnedRef module_name = check(PyModule_GetNameObject(module));
  const OwnedRef function = check(PyCMethod_New(def, module, module_name.get(), nullptr));
  const OwnedRef name = check(PyObject_GetAttr(function.get(), names().dunder_name));
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, names().dunder_all));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw PyErrAlreadySet{};
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttr(module, names().dunder_all, all.get()));
  }
  check_status(PyList_Append(all.get(), name.get()));
  check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

void create_panic_exception() {
  if (panic_exception != nullptr) return;
  panic_exception = check(PyErr_NewExceptionWithDoc("_nj_py.PanicException", panic_doc,
                                                    PyExc_BaseException, nullptr))
                        .release();
}

// The module belongs to the first interpreter that imports it.
bool claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    raise_system_error_if_unset();
    return false;
  }
  std::int64_t expected = -1;
  if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "_nj_py does not support sub-interpreters: it is already loaded in another "
                  "interpreter of this process");
  return false;
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  if (the_module != nullptr) return Py_NewRef(the_module);
  if (!intern_names()) return nullptr;
  create_panic_exception();
  OwnedRef module = check(PyModule_Create(&module_def));
  add_function(module.get(), &nj_method);
  check_status(PyObject_SetAttrString(module.get(), "PanicException", panic_exception));
  // The initialiser runs again on a repeated import; whichever module was
  // finished first is the one kept.
  if (the_module == nullptr) the_module = module.release();
  return Py_NewRef(the_module);
}

}  // namespace
}  // namespace nj_py

PyMODINIT_FUNC PyInit__nj_py() {
  return nj_py::boundary([] { return nj_py::init_module(); });
}
