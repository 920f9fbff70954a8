// SPDX-License-Identifier: MIT
// Owned Python references and the "Python error already set" exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace nj_py {

namespace detail {
// The thread state of the call of ours that this thread is running (set by
// CallThread), or null outside calls.
inline thread_local PyThreadState* call_thread_state = nullptr;
}  // namespace detail

/// Whether this thread may touch Python objects. It always may inside a call
/// of ours, except when the interpreter ends the thread: a thread that wants
/// the interpreter lock back while the interpreter finalizes (a daemon thread
/// whose progress callback sleeps at exit) is ended by forced unwinding
/// without the lock. Its references then stay with the dying interpreter, as
/// those of the interpreter's own frames do: touching them would race with
/// the thread that finalizes.
inline bool may_touch_python_objects() noexcept {
  if (_Py_IsFinalizing() == 0) return true;
  PyThreadState* const mine = detail::call_thread_state;
  return mine == nullptr || _PyThreadState_UncheckedGet() == mine;
}

/// Marks this thread as running a call of ours for the object's lifetime.
class CallThread {
 public:
  CallThread() noexcept
      : previous_(std::exchange(detail::call_thread_state, PyThreadState_Get())) {}
  CallThread(const CallThread&) = delete;
  CallThread& operator=(const CallThread&) = delete;
  ~CallThread() { detail::call_thread_state = previous_; }

 private:
  PyThreadState* previous_;
};

/// Thrown right after a C-API call that failed and set the Python error
/// indicator; whoever catches it finds the exception there.
struct PyErrAlreadySet {};

/// Owns one strong reference (or none). Move-only, so a reference has
/// exactly one owner and is released exactly once on every path.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  /// Takes over a new reference (which may be null).
  static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  /// Adds a reference to a borrowed object (which may be null).
  static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }

  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) drop(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { drop(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference to the caller, who now owns it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  static void drop(PyObject* p) {
    if (p != nullptr && may_touch_python_objects()) Py_DECREF(p);
  }
  PyObject* p_ = nullptr;
};

/// Takes over a new reference returned by a C-API call; a null result means
/// the call failed and set an exception.
inline OwnedRef check(PyObject* p) {
  if (p == nullptr) throw PyErrAlreadySet{};
  return OwnedRef::steal(p);
}

/// For C-API calls that signal failure with -1.
inline int check_status(int status) {
  if (status == -1) throw PyErrAlreadySet{};
  return status;
}

/// Makes sure a failure leaves an exception set: a SystemError when none
/// is. Returns null, for returning from a function that failed.
inline PyObject* raise_system_error_if_unset() noexcept {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

/// A str of UTF-8 text from the core, each byte that is not part of
/// well-formed UTF-8 replaced by U+FFFD; null with an exception set when it
/// cannot be made.
inline OwnedRef decode_replacing(std::string_view utf8) noexcept {
  return OwnedRef::steal(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

/// A fetched exception (type, value, traceback), owned while it is out of
/// the interpreter's error indicator.
struct PendingError {
  OwnedRef type;
  OwnedRef value;
  OwnedRef traceback;

  explicit operator bool() const noexcept { return static_cast<bool>(type); }

  /// Moves the current error indicator (if any) into a PendingError,
  /// normalised so that `value` is an instance of `type` (which may run the
  /// exception class's Python code).
  static PendingError fetch() {
    PyObject* t = nullptr;
    PyObject* v = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t != nullptr) {
      PyErr_NormalizeException(&t, &v, &tb);
      if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    }
    return PendingError{OwnedRef::steal(t), OwnedRef::steal(v), OwnedRef::steal(tb)};
  }

  /// Puts the exception back into the error indicator.
  void restore() noexcept {
    PyErr_Restore(type.release(), value.release(), traceback.release());
  }

  bool matches(PyObject* exception_class) const noexcept {
    return type && PyErr_GivenExceptionMatches(type.get(), exception_class) != 0;
  }
};

}  // namespace nj_py
