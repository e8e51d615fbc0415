// Time axes: the units of datetime64 and timedelta64 as lengths in
// attoseconds, the time kind and unit an axis of a table carries, and the
// time scalars of the standard library and of pandas as exact counts.
#pragma once

#include "table_common.hpp"

#include <datetime.h>

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

// ---------------------------------------------------------------------------
// Time scalars: datetime.datetime, datetime.date, datetime.timedelta and
// their pandas kin (Timestamp, Timedelta), and NumPy's datetime64 and
// timedelta64, each as a count in a unit of its own, exactly.
//
// A naive datetime is read as NumPy reads it (its fields as a UTC time); an
// aware one as the UTC instant it is (its fields less its utcoffset()).
// Worked: datetime(2024, 1, 1, 1, tzinfo=+01:00) is 2024-01-01T00:00 UTC,
// 1704067200000000 us.  A pandas Timestamp keeps its nanoseconds.
// ---------------------------------------------------------------------------
struct TimeValue {
    TimeKind kind = TimeKind::None;
    i64 count = 0;
    Ref descr;  // the datetime64/timedelta64 dtype of the count's unit
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
constexpr i64 days_from_civil(i64 y, unsigned m, unsigned d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const i64 era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<i64>(doe) - 719468;
}
static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017);
static_assert(days_from_civil(1, 1, 1) == -719162);

inline bool load_datetime() noexcept {
    if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

// A time of sign * magnitude microseconds, as a count: in microseconds
// where that fits int64, else in seconds or in days where it is a whole
// number of them that fits (a timedelta reaches 10^9 days, 8.6e22 us).  A
// time beyond that is refused (InvalidValueError, false).  The magnitude
// is a u128: the one place with 128-bit integers on every target.
inline bool micro_count(PyObject* obj, bool negative, u128 magnitude, TimeKind kind, TimeValue& out) noexcept {
    constexpr u128 limit = (u128{1} << 63) - 1;
    const char* dtype = kind == TimeKind::Datetime ? "M8[us]" : "m8[us]";
    u128 count = magnitude;
    if (count > limit) {
        constexpr u128 second = 1000000, day = u128{86400} * 1000000;
        if (magnitude % second == 0 && magnitude / second <= limit) {
            count = magnitude / second;
            dtype = kind == TimeKind::Datetime ? "M8[s]" : "m8[s]";
        } else if (magnitude % day == 0 && magnitude / day <= limit) {
            count = magnitude / day;
            dtype = kind == TimeKind::Datetime ? "M8[D]" : "m8[D]";
        } else {
            fail(invalid_value_type, msg::time_too_large, obj);
            return false;
        }
    }
    out.kind = kind;
    const auto c = static_cast<i64>(low64(count));
    out.count = negative ? -c : c;
    out.descr = Ref(reinterpret_cast<PyObject*>(dtype_from(dtype)));
    return static_cast<bool>(out.descr);
}

// A time of days * 86400 s + micro us (micro >= 0) as sign and magnitude.
inline void signed_micro(i64 days, i64 micro, bool& negative, u128& magnitude) noexcept {
    constexpr u128 day = u128{86400} * 1000000;
    const auto um = static_cast<std::uint64_t>(micro);
    negative = days < 0;
    const u128 whole = u128{negative ? std::uint64_t{0} - static_cast<std::uint64_t>(days) : static_cast<std::uint64_t>(days)} * day;
    // Negative days: -(|days| * day - micro), |days| >= 1 and micro < day.
    magnitude = negative ? whole - u128{um} : whole + u128{um};
    if (magnitude == 0) negative = false;
}

// A timedelta's days, and its seconds and microseconds (non-negative), as
// sign and magnitude in microseconds.
inline void delta_micro(PyObject* delta, bool& negative, u128& magnitude) noexcept {
    signed_micro(PyDateTime_DELTA_GET_DAYS(delta),
                 i64{PyDateTime_DELTA_GET_SECONDS(delta)} * 1000000 + PyDateTime_DELTA_GET_MICROSECONDS(delta), negative,
                 magnitude);
}

// A NumPy datetime64/timedelta64 scalar's count and unit.
inline bool numpy_time(PyObject* scalar, TimeValue& out) noexcept {
    PyArray_Descr* descr = PyArray_DescrFromScalar(scalar);
    if (descr == nullptr) return false;
    out.descr = Ref(reinterpret_cast<PyObject*>(descr));
    out.kind = time_kind(descr->kind);
    PyArray_ScalarAsCtype(scalar, &out.count);
    return true;
}

// obj's time, if it is a time scalar: 1 (out set), 0 (not one), -1 (an
// error is set).
inline int time_of(PyObject* obj, TimeValue& out) noexcept {
    if (PyArray_IsScalar(obj, Datetime) || PyArray_IsScalar(obj, Timedelta)) return numpy_time(obj, out) ? 1 : -1;
    if (!load_datetime()) return -1;
    const bool delta = PyDelta_Check(obj);
    if (!delta && !PyDate_Check(obj)) return 0;
    // pandas' kin carry more than the fields show (nanoseconds, units)
    if (!PyDelta_CheckExact(obj) && !PyDateTime_CheckExact(obj) && !PyDate_CheckExact(obj)) {
        const char* method = delta ? "to_timedelta64" : "to_datetime64";
        if (PyObject_HasAttrString(obj, method)) {
            Ref scalar(PyObject_CallMethod(obj, method, nullptr));
            if (!scalar) return -1;
            if (!PyArray_IsScalar(scalar.get(), Datetime) && !PyArray_IsScalar(scalar.get(), Timedelta)) return 0;
            return numpy_time(scalar.get(), out) ? 1 : -1;
        }
    }
    bool negative = false;
    u128 magnitude = 0;
    if (delta) {
        delta_micro(obj, negative, magnitude);
        return micro_count(obj, negative, magnitude, TimeKind::Timedelta, out) ? 1 : -1;
    }
    const i64 days = days_from_civil(PyDateTime_GET_YEAR(obj), static_cast<unsigned>(PyDateTime_GET_MONTH(obj)),
                                     static_cast<unsigned>(PyDateTime_GET_DAY(obj)));
    if (!PyDateTime_Check(obj)) {
        out.kind = TimeKind::Datetime;
        out.count = days;
        out.descr = Ref(reinterpret_cast<PyObject*>(dtype_from("M8[D]")));
        return out.descr ? 1 : -1;
    }
    // Years 1 to 9999: the microseconds fit int64 (about 2.5e17 at most).
    i64 micro = ((days * 24 + PyDateTime_DATE_GET_HOUR(obj)) * 60 + PyDateTime_DATE_GET_MINUTE(obj)) * 60 +
                PyDateTime_DATE_GET_SECOND(obj);
    micro = micro * 1000000 + PyDateTime_DATE_GET_MICROSECOND(obj);
    Ref offset(PyObject_CallMethod(obj, "utcoffset", nullptr));
    if (!offset) return -1;
    if (offset.get() != Py_None) {
        if (!PyDelta_Check(offset.get())) return 0;
        // An offset is less than a day: the difference stays far within int64.
        bool offset_negative = false;
        u128 offset_magnitude = 0;
        delta_micro(offset.get(), offset_negative, offset_magnitude);
        const auto o = static_cast<i64>(low64(offset_magnitude));
        micro -= offset_negative ? -o : o;
    }
    negative = micro < 0;
    magnitude = u128{negative ? std::uint64_t{0} - static_cast<std::uint64_t>(micro) : static_cast<std::uint64_t>(micro)};
    return micro_count(obj, negative, magnitude, TimeKind::Datetime, out) ? 1 : -1;
}

// "; forward answers in seconds, inverse answers in microseconds": the
// units that the answers of each direction come in, where they are times.
inline Ref answer_units(const Axis& x, const Axis& f) noexcept {
    static const char* const names[] = {"years", "months", "weeks", nullptr, "days", "hours", "minutes", "seconds",
                                        "milliseconds", "microseconds", "nanoseconds", "picoseconds",
                                        "femtoseconds", "attoseconds"};
    Ref text(PyUnicode_FromString(""));
    const Axis* answering[] = {&f, &x};
    const char* direction[] = {"forward", "inverse"};
    for (int k = 0; k < 2 && text; ++k) {
        const Axis& axis = *answering[k];
        if (axis.time == TimeKind::None) continue;
        auto* meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(axis.descr));
        const int base = meta->meta.base;
        const char* name = base >= 0 && base < 14 && names[base] != nullptr ? names[base] : "its unit";
        Ref unit(meta->meta.num == 1 ? PyUnicode_FromString(name)
                                     : PyUnicode_FromFormat("units of %d %s", meta->meta.num, name));
        if (!unit) return unit;
        text = Ref(PyUnicode_FromFormat(msg::answers_in, text.get(), PyUnicode_GetLength(text.get()) ? ", " : "; ",
                                        direction[k], unit.get()));
    }
    return text;
}

}  // namespace quorvane::table
