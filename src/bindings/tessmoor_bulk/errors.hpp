// The core's failures as tessmoor_bulk's exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "core/status.hpp"

namespace tessmoor::pybulk {

// A failure on its way to Python: thrown by the bindings (take), turned
// into an exception by the translator install_error_table() registers.
struct Raised {
    core::Status status;
};

// The value of a core result, or its failure thrown as Raised.
template <class T>
T take(core::Result<T>&& result) {
    if (!result) throw Raised{std::move(result).status()};
    return std::move(result).value();
}

inline void check(core::Status&& status) {
    if (!status.ok()) throw Raised{std::move(status)};
}

// Creates tessmoor_bulk.FormatError and tessmoor_bulk.InternalError as
// attributes of `m`, and registers the one table from status kinds to
// exceptions.  Any other C++ exception that reaches Python is a bug, and is
// raised as InternalError, never as an error of the caller's.
void install_error_table(nanobind::module_& m);

}  // namespace tessmoor::pybulk
