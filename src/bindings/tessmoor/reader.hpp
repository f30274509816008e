// The RawReader class: a Python object owning one open core::Run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessmoor::py {

// Created on first use and kept for the life of the process.  Borrowed
// reference; nullptr with an exception set if creation failed.
PyTypeObject* reader_type();

}  // namespace tessmoor::py
