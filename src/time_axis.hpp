// Time axes: the units of datetime64 and timedelta64 as lengths in
// attoseconds, and the time kind and unit an axis of a table carries.
#pragma once

#include "table_common.hpp"

#include <algorithm>

#include "convert.hpp"

namespace quorvane::table {

// ---------------------------------------------------------------------------
// Axes.  Every table has a coordinate axis (u64) and a value axis (i64 or
// f64); either may carry a time unit, which its queries and answers keep.
// ---------------------------------------------------------------------------
enum class TimeKind : std::uint8_t { None, Datetime, Timedelta };

struct Axis {
    const char* name = "xp";     // "xp" or "fp", for messages
    const char* storage = "uint64";  // the element type without unit
    TimeKind time = TimeKind::None;
    u128 attoseconds = 0;     // length of the unit, for time axes
    PyArray_Descr* descr = nullptr;  // owned: the dtype of the axis's arrays and answers
};

// Length of NumPy's fixed time units in attoseconds; 0 for the units of
// no fixed length (years, months) and the generic unit.
inline u128 unit_attoseconds(NPY_DATETIMEUNIT unit) noexcept {
    constexpr u128 second = 1000000000000000000ULL;
    switch (unit) {
        case NPY_FR_W: return second * 604800;
        case NPY_FR_D: return second * 86400;
        case NPY_FR_h: return second * 3600;
        case NPY_FR_m: return second * 60;
        case NPY_FR_s: return second;
        case NPY_FR_ms: return second / 1000;
        case NPY_FR_us: return second / 1000000;
        case NPY_FR_ns: return second / 1000000000;
        case NPY_FR_ps: return 1000000;
        case NPY_FR_fs: return 1000;
        case NPY_FR_as: return 1;
        default: return 0;
    }
}

// The unit of a datetime64/timedelta64 descriptor, in attoseconds (0: none).
inline u128 descr_attoseconds(PyArray_Descr* descr) noexcept {
    auto* meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr));
    if (meta == nullptr) return 0;
    return unit_attoseconds(meta->meta.base) * static_cast<u128>(meta->meta.num > 0 ? meta->meta.num : 0);
}

// Whether a datetime64/timedelta64 descriptor has the generic unit, which
// only NaT has (np.datetime64('NaT')).
inline bool descr_is_generic(PyArray_Descr* descr) noexcept {
    auto* meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr));
    return meta != nullptr && meta->meta.base == NPY_FR_GENERIC;
}

// Whether every element of a time array (native order, 8 bytes) is NaT.
inline bool only_not_a_time(PyArrayObject* a) noexcept {
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) {
        PyErr_Clear();
        return false;
    }
    const auto* v = static_cast<const i64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    return std::all_of(v, v + PyArray_SIZE(a), [](i64 c) { return c == not_a_time; });
}

// The time kind of a dtype kind character.
inline TimeKind time_kind(char kind) noexcept {
    return kind == 'M' ? TimeKind::Datetime : kind == 'm' ? TimeKind::Timedelta : TimeKind::None;
}

}  // namespace quorvane::table
