// SPDX-License-Identifier: MIT
// The one place where the outcomes of a call become Python values or
// exceptions, and where the interpreter lock is given up for long work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <expected>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "nj/error.hpp"
#include "nj/stop.hpp"
#include "nj/toolkit.hpp"
#include "py_ref.hpp"

namespace njkit {

using nj_py::OwnedRef;
using nj_py::PyErrAlreadySet;

/// Sets ValueError (or `type`) with `message`, undecodable bytes replaced;
/// returns null.
PyObject* raise_message(std::string_view message, PyObject* type = PyExc_ValueError) noexcept;
PyObject* raise_internal(const char* what) noexcept;
/// SystemError unless an exception is already set; returns null.
PyObject* raise_unless_set() noexcept;

/// Runs `body` (a new reference, or null with an exception set) and maps
/// every C++ failure that leaves it: a Python error already set stays, a
/// stopped run leaves the exception that stopped it, allocation failure is
/// MemoryError and anything else RuntimeError("internal failure: ...").
/// A thread ended by the interpreter unwinds straight through: that
/// unwinding is no C++ exception, and std::current_exception() is empty
/// for it (a handler that named its type would bind a reference to no
/// object).
template <class Body>
PyObject* boundary(Body&& body) {
  // Marks the call, so that references are let go only while the thread
  // may still touch Python objects (see nj_py::may_touch_python_objects).
  const nj_py::CallThread call;
  try {
    return body();
  } catch (const PyErrAlreadySet&) {
    return raise_unless_set();
  } catch (const nj::Cancelled&) {
    return raise_unless_set();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    return raise_internal(failure.what());
  } catch (...) {
    if (!std::current_exception()) throw;
    return raise_internal("unknown failure");
  }
}

/// The value of `result`, or ValueError with its message (PyErrAlreadySet).
template <class T>
T value_or_raise(std::expected<T, std::string>&& result) {
  if (!result) {
    raise_message(result.error());
    throw PyErrAlreadySet{};
  }
  return std::move(*result);
}

inline void value_or_raise(std::expected<void, std::string>&& result) {
  if (!result) {
    raise_message(result.error());
    throw PyErrAlreadySet{};
  }
}

/// The interpreter lock given up by this thread, for the life of the object
/// or until taken back. It is never taken back by the destructor: when the
/// interpreter ends this thread while taking the lock, the thread unwinds
/// without it.
class LockReleased {
 public:
  LockReleased() noexcept : saved_(PyEval_SaveThread()) {}
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  void take() { PyEval_RestoreThread(saved_); }
  void give() noexcept { saved_ = PyEval_SaveThread(); }

 private:
  PyThreadState* saved_;
};

/// Runs work(lock) with the interpreter lock given up, and takes it back
/// before returning or letting an exception out.
template <class Work>
auto without_lock(Work&& work) {
  LockReleased lock;
  try {
    auto result = work(lock);
    lock.take();
    return result;
  } catch (...) {
    // Not when the thread is being ended (see boundary): the lock is not
    // its to take any more.
    if (std::current_exception()) lock.take();
    throw;
  }
}

/// Watches a long call from the calling thread: each look takes the lock,
/// runs the signal handlers and reports the progress made since the last
/// look, on_progress(done, total), in order. Once anything raised, the
/// exception stays set and every later look says stop.
class CallMonitor {
 public:
  CallMonitor(PyObject* on_progress, std::uint64_t total) noexcept
      : callback_(OwnedRef::borrow(on_progress == Py_None ? nullptr : on_progress)),
        total_(total) {}

  /// The monitor for a call running inside without_lock.
  nj::kit::Monitor in(LockReleased& lock) {
    return [this, &lock](std::uint64_t done) { return look(lock, done); };
  }

 private:
  bool look(LockReleased& lock, std::uint64_t done);
  bool report(std::uint64_t done);

  OwnedRef callback_;
  std::uint64_t total_;
  std::uint64_t reported_ = 0;
  bool failed_ = false;
};

}  // namespace njkit
