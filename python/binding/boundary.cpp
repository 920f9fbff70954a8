// SPDX-License-Identifier: MIT
#include "boundary.hpp"

namespace njkit {

PyObject* raise_message(std::string_view message, PyObject* type) noexcept {
  const OwnedRef text = OwnedRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_internal(const char* what) noexcept {
  return raise_message(std::string("internal failure: ") + what, PyExc_RuntimeError);
}

PyObject* raise_unless_set() noexcept {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

bool CallMonitor::look(LockReleased& lock, std::uint64_t done) {
  if (failed_) return false;
  lock.take();
  failed_ = PyErr_CheckSignals() != 0 || !report(done);
  lock.give();
  return !failed_;
}

bool CallMonitor::report(std::uint64_t done) {
  if (!callback_) return true;
  while (reported_ < done) {
    ++reported_;
    const OwnedRef completed = OwnedRef::steal(PyLong_FromUnsignedLongLong(reported_));
    const OwnedRef total = OwnedRef::steal(PyLong_FromUnsignedLongLong(total_));
    if (!completed || !total) return false;
    PyObject* args[] = {completed.get(), total.get()};
    const OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(callback_.get(), args, 2, nullptr));
    if (!result) return false;
  }
  return true;
}

}  // namespace njkit
