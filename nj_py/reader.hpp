// SPDX-License-Identifier: MIT
// Reads an arbitrary Python object into the run configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "nj/config.hpp"

namespace nj_py {

/// Reads `py_config` (borrowed) into an NJConfig. An unreadable
/// configuration gives nothing, with a ValueError set whose text is
/// "<exception type>: <message>" ("RuntimeError: missing field `msa`").
/// Out-of-memory, exceptions that are not Exceptions (KeyboardInterrupt,
/// SystemExit) and whatever a signal handler raised are left set as raised.
/// An object of no supported kind ends in nj::InternalError. Keeps no
/// reference once it returns.
std::optional<nj::NJConfig> read_config(PyObject* py_config);

}  // namespace nj_py
