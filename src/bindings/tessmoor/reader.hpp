// The RawReader class: a Python object owning one open core::Run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "bindings/tessmoor/boxed.hpp"
#include "core/access/run.hpp"

namespace tessmoor::py {

// Created on first use and kept for the life of the process.  Borrowed
// reference; nullptr with an exception set if creation failed.
PyTypeObject* reader_type();

// The one definition of a RawReader's object: its header and the core::Run
// it owns.
using Reader = Boxed<core::Run>;

// A new RawReader of class `type` (tessmoor.RawReader) owning `run`, which
// was opened already.  tessmoor_bulk makes the reader of a run it opened
// this way, so that both hold what one opening parsed; the class's size is
// checked against this layout (`__basicsize__`) before the call.  A new
// reference, or nullptr with the interpreter's exception.
inline PyObject* new_reader(PyTypeObject* type, core::Run&& run) { return Reader::create(type, std::move(run)); }

}  // namespace tessmoor::py
