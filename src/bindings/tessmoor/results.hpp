// The five result classes that the reader hands out: FunctionInfo,
// Spectrum, ImsSpectrum, ChromChannel, ChromPoint.  Each instance owns a
// copy of (or the moved-in) core record; Python cannot create them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "core/format/chroms.hpp"
#include "core/decode/encodings.hpp"
#include "core/format/functions_inf.hpp"

namespace tessmoor::py {

// The classes, created on first use and kept for the life of the process.
// Borrowed references; nullptr with an exception set if creation failed.
PyTypeObject* function_info_type();
PyTypeObject* spectrum_type();
PyTypeObject* ims_spectrum_type();
PyTypeObject* chrom_channel_type();
PyTypeObject* chrom_point_type();

// New instances (new references, nullptr with an exception set).
PyObject* new_function_info(const core::FunctionInfo& info);
PyObject* new_spectrum(core::Spectrum&& spectrum);
PyObject* new_ims_spectrum(core::ImsSpectrum&& spectrum);
PyObject* new_chrom_channel(const core::ChromChannel& channel);
PyObject* new_chrom_point(const core::ChromPoint& point);

// A float in fixed notation with `decimals` digits after the point,
// rounded to nearest with ties to even; "NaN", "inf", "-inf" for the
// special values, and "-" for every negative value including -0.
std::string format_fixed(double value, int decimals);

// UTF-8 text as a new str; stray bytes are replaced, never an error.
PyObject* text_to_py(const std::string& text);

}  // namespace tessmoor::py
