#include "results.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "boxed.hpp"
#include "errors.hpp"

namespace tessmoor::py {

// ---------------------------------------------------------------------------
// Conversions of stored values

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // to_chars rounds the exact binary value (ties to even) and, unlike
    // printf, does not follow the process's LC_NUMERIC.  The largest double
    // has 309 integer digits.
    char buf[400];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, result.ptr);
}

PyObject* text_to_py(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

PyObject* to_py(std::uint8_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint16_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(const std::string& v) { return text_to_py(v); }

// A new list of new floats, allocated at its final length.
template <class F>
PyObject* to_py(const core::Array<F>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (!item || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
            Py_DECREF(list);  // unfilled slots are NULL, which list dealloc skips
            return nullptr;
        }
    }
    return list;
}

// A read-only property returning a fresh Python object for one field.
template <class T, auto Member>
PyObject* get_member(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [self] { return to_py(Boxed<T>::of(self).*Member); });
}

template <class T>
Py_ssize_t mz_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [self] { return static_cast<Py_ssize_t>(Boxed<T>::of(self).mz.size()); });
}

template <class F>
PyObject* repr_of(F&& build) {
    return guarded<PyObject*>(nullptr, [&] { return text_to_py(build()); });
}

// Creates a class once per process.
PyTypeObject* once(PyTypeObject*& slot, PyType_Spec& spec) {
    if (!slot) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return slot;
}

template <class T>
PyObject* create(PyTypeObject* type, T value) {
    if (!type) return nullptr;
    return Boxed<T>::create(type, std::move(value));
}

// Results are made by the reader only, cannot be subclassed, and carry no
// instance dict or weak references: they are plain immutable records.
// The "builtins." prefix makes __module__ "builtins" and keeps the
// interpreter from warning about a heap type without a module.
constexpr unsigned long result_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

template <class Fn>
void* slot_fn(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

// ---------------------------------------------------------------------------
// FunctionInfo

using FI = core::FunctionInfo;

PyObject* function_info_is_lock_mass(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [self] { return PyBool_FromLong(Boxed<FI>::of(self).is_lock_mass()); });
}

PyObject* function_info_repr(PyObject* self) {
    return repr_of([self] {
        const FI& f = Boxed<FI>::of(self);
        static const char hex[] = "0123456789abcdef";
        std::string s = "FunctionInfo(index=" + std::to_string(f.index) + ", mz=[" +
                        format_fixed(f.mz_low, 0) + "," + format_fixed(f.mz_high, 0) + "], scan_subtype=0x";
        s += hex[f.scan_subtype >> 4];
        s += hex[f.scan_subtype & 0xf];
        s += f.is_lock_mass() ? ", lock_mass=true)" : ", lock_mass=false)";
        return s;
    });
}

PyGetSetDef function_info_getset[] = {
    {"index", get_member<FI, &FI::index>, nullptr, "1-based function index.", nullptr},
    {"function_type", get_member<FI, &FI::function_type>, nullptr,
     "Raw function type code (always 0x12 in known corpus).", nullptr},
    {"scan_subtype", get_member<FI, &FI::scan_subtype>, nullptr,
     "Scan subtype byte; bit 7 set means lock-mass channel.", nullptr},
    {"cycle_time_s", get_member<FI, &FI::cycle_time_s>, nullptr,
     "Total slot duration per scan cycle (seconds).", nullptr},
    {"interscan_delay_s", get_member<FI, &FI::interscan_delay_s>, nullptr,
     "Idle time between end of one scan and start of the next (seconds).", nullptr},
    {"scan_time_s", get_member<FI, &FI::scan_time_s>, nullptr, "Data collection time per scan (seconds).",
     nullptr},
    {"tof_depth", get_member<FI, &FI::tof_depth>, nullptr, "Number of TDC bins per pusher pulse.", nullptr},
    {"mz_low", get_member<FI, &FI::mz_low>, nullptr, "Acquisition m/z lower bound (Da).", nullptr},
    {"mz_high", get_member<FI, &FI::mz_high>, nullptr, "Acquisition m/z upper bound (Da).", nullptr},
    {"is_lock_mass", function_info_is_lock_mass, nullptr,
     "True if this is a lock-mass / reference channel (bit 7 of scan_subtype).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Metadata for a single acquisition function from `_FUNCTNS.INF`.")},
    {Py_tp_getset, function_info_getset},
    {Py_tp_repr, slot_fn(function_info_repr)},
    {Py_tp_dealloc, slot_fn(Boxed<FI>::dealloc)},
    {0, nullptr},
};

PyType_Spec function_info_spec = {"builtins.FunctionInfo", sizeof(Boxed<FI>), 0, result_flags,
                                  function_info_slots};
PyTypeObject* function_info_class = nullptr;

// ---------------------------------------------------------------------------
// Spectrum

using SP = core::Spectrum;

PyObject* spectrum_repr(PyObject* self) {
    return repr_of([self] { return "Spectrum(" + std::to_string(Boxed<SP>::of(self).mz.size()) + " peaks)"; });
}

PyGetSetDef spectrum_getset[] = {
    {"mz", get_member<SP, &SP::mz>, nullptr, "Calibrated m/z values (Da).", nullptr},
    {"intensity", get_member<SP, &SP::intensity>, nullptr, "Intensity values.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>("A decoded 1-D mass spectrum (m/z vs intensity).\n\n"
                                  "Returned by `RawReader.read_spectrum()` for Encoding A and C functions.")},
    {Py_tp_getset, spectrum_getset},
    {Py_tp_repr, slot_fn(spectrum_repr)},
    {Py_mp_length, slot_fn(mz_length<SP>)},
    {Py_tp_dealloc, slot_fn(Boxed<SP>::dealloc)},
    {0, nullptr},
};

PyType_Spec spectrum_spec = {"builtins.Spectrum", sizeof(Boxed<SP>), 0, result_flags, spectrum_slots};
PyTypeObject* spectrum_class = nullptr;

// ---------------------------------------------------------------------------
// ImsSpectrum

using IMS = core::ImsSpectrum;

PyObject* ims_spectrum_repr(PyObject* self) {
    return repr_of([self] { return "ImsSpectrum(" + std::to_string(Boxed<IMS>::of(self).mz.size()) + " ions)"; });
}

PyGetSetDef ims_spectrum_getset[] = {
    {"mz", get_member<IMS, &IMS::mz>, nullptr, "Calibrated m/z values (Da).", nullptr},
    {"drift_time_ms", get_member<IMS, &IMS::drift_time_ms>, nullptr, "Ion drift times (ms).", nullptr},
    {"intensity", get_member<IMS, &IMS::intensity>, nullptr, "Intensity values (raw ion counts).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ims_spectrum_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A decoded IMS spectrum: m/z, drift time, and intensity per ion.\n\n"
                       "Returned by `RawReader.read_ims_spectrum()` for Encoding B (SYNAPT) functions.")},
    {Py_tp_getset, ims_spectrum_getset},
    {Py_tp_repr, slot_fn(ims_spectrum_repr)},
    {Py_mp_length, slot_fn(mz_length<IMS>)},
    {Py_tp_dealloc, slot_fn(Boxed<IMS>::dealloc)},
    {0, nullptr},
};

PyType_Spec ims_spectrum_spec = {"builtins.ImsSpectrum", sizeof(Boxed<IMS>), 0, result_flags,
                                 ims_spectrum_slots};
PyTypeObject* ims_spectrum_class = nullptr;

// ---------------------------------------------------------------------------
// ChromChannel

using CC = core::ChromChannel;

PyObject* chrom_channel_repr(PyObject* self) {
    return repr_of([self] {
        const CC& c = Boxed<CC>::of(self);
        // Name and units go in verbatim: no escaping of quotes.
        return "ChromChannel(index=" + std::to_string(c.index) + ", name='" + c.name + "', units='" + c.units +
               "')";
    });
}

PyGetSetDef chrom_channel_getset[] = {
    {"index", get_member<CC, &CC::index>, nullptr, "0-based index among data records.", nullptr},
    {"source_type", get_member<CC, &CC::source_type>, nullptr,
     "Source device type (4 = BSM pump, 1 = column/sample device).", nullptr},
    {"name", get_member<CC, &CC::name>, nullptr, "Channel name decoded from Windows-1252.", nullptr},
    {"scale_f", get_member<CC, &CC::scale_f>, nullptr, "Scale factor from the `$CC$` spec string.", nullptr},
    {"units", get_member<CC, &CC::units>, nullptr, "Engineering units (e.g. \"%\", \"C\", \"bar\").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot chrom_channel_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Description of a single recorded chromatographic channel from `_CHROMS.INF`.")},
    {Py_tp_getset, chrom_channel_getset},
    {Py_tp_repr, slot_fn(chrom_channel_repr)},
    {Py_tp_dealloc, slot_fn(Boxed<CC>::dealloc)},
    {0, nullptr},
};

PyType_Spec chrom_channel_spec = {"builtins.ChromChannel", sizeof(Boxed<CC>), 0, result_flags,
                                  chrom_channel_slots};
PyTypeObject* chrom_channel_class = nullptr;

// ---------------------------------------------------------------------------
// ChromPoint

using CP = core::ChromPoint;

PyObject* chrom_point_repr(PyObject* self) {
    return repr_of([self] {
        const CP& p = Boxed<CP>::of(self);
        return "ChromPoint(rt_min=" + format_fixed(p.rt_min, 4) + ", value=" + format_fixed(p.value, 4) + ")";
    });
}

PyGetSetDef chrom_point_getset[] = {
    {"rt_min", get_member<CP, &CP::rt_min>, nullptr, "Retention time (minutes).", nullptr},
    {"value", get_member<CP, &CP::value>, nullptr, "Channel value in the units given by `ChromChannel.units`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot chrom_point_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single (retention-time, value) sample from a `_CHROnnnn.DAT` file.")},
    {Py_tp_getset, chrom_point_getset},
    {Py_tp_repr, slot_fn(chrom_point_repr)},
    {Py_tp_dealloc, slot_fn(Boxed<CP>::dealloc)},
    {0, nullptr},
};

PyType_Spec chrom_point_spec = {"builtins.ChromPoint", sizeof(Boxed<CP>), 0, result_flags, chrom_point_slots};
PyTypeObject* chrom_point_class = nullptr;

}  // namespace

// ---------------------------------------------------------------------------

PyTypeObject* function_info_type() { return once(function_info_class, function_info_spec); }
PyTypeObject* spectrum_type() { return once(spectrum_class, spectrum_spec); }
PyTypeObject* ims_spectrum_type() { return once(ims_spectrum_class, ims_spectrum_spec); }
PyTypeObject* chrom_channel_type() { return once(chrom_channel_class, chrom_channel_spec); }
PyTypeObject* chrom_point_type() { return once(chrom_point_class, chrom_point_spec); }

PyObject* new_function_info(const core::FunctionInfo& info) {
    return create(function_info_type(), core::FunctionInfo(info));
}
PyObject* new_spectrum(core::Spectrum&& spectrum) { return create(spectrum_type(), std::move(spectrum)); }
PyObject* new_ims_spectrum(core::ImsSpectrum&& spectrum) {
    return create(ims_spectrum_type(), std::move(spectrum));
}
PyObject* new_chrom_channel(const core::ChromChannel& channel) {
    // The copy (which may throw bad_alloc) is made before the object exists.
    return create(chrom_channel_type(), core::ChromChannel(channel));
}
PyObject* new_chrom_point(const core::ChromPoint& point) { return create(chrom_point_type(), core::ChromPoint(point)); }

}  // namespace tessmoor::py
