// Arrow columns, read in place through the Arrow C data interface: the
// objects that export __arrow_c_array__ or __arrow_c_stream__ (pyarrow
// arrays and chunked arrays, polars series, pandas' Arrow-backed columns,
// any other producer).  No Arrow library is needed: the interface is the
// three plain structs below, whose layout the Arrow project keeps fixed.
//
// A column becomes its chunks, each a read-only NumPy view over the chunk's
// values buffer (offset applied), owned by a capsule that releases the
// chunk, and one byte mask over the whole column where a validity bitmap
// marks nulls.  Nothing is concatenated; only date32 chunks are widened.
#pragma once

#include "table_common.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

namespace quorvane::table::arrow {

// Whether obj exports an Arrow column (or table) by the capsule protocol.
inline bool exports(PyObject* obj) noexcept {
    for (const char* name : {"__arrow_c_array__", "__arrow_c_stream__"}) {
        if (PyObject_HasAttrString(obj, name)) return true;
    }
    return false;
}

// A schema we own (from a stream), released on every path.
struct OwnedSchema {
    ArrowSchema s{};
    OwnedSchema() noexcept = default;
    OwnedSchema(const OwnedSchema&) = delete;
    OwnedSchema& operator=(const OwnedSchema&) = delete;
    ~OwnedSchema() {
        if (s.release != nullptr) s.release(&s);
    }
};

// A chunk moved out of its producer's capsule or stream into a capsule of
// our own, whose destructor releases it: NumPy views of the chunk keep it
// as their base, so its buffers live as long as any view does.
inline constexpr const char* chunk_capsule = "quorvane.arrow_chunk";

inline void release_chunk(PyObject* capsule) noexcept {
    auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, chunk_capsule));
    if (a == nullptr) {
        PyErr_Clear();
        return;
    }
    if (a->release != nullptr) a->release(a);
    delete a;
}

// Takes over *from (a move, as the interface defines one: the source is
// marked released).  Null with an exception set when memory is short; the
// chunk is then released.
inline Ref own_chunk(ArrowArray* from) noexcept {
    auto* a = new (std::nothrow) ArrowArray;
    if (a == nullptr) {
        from->release(from);
        return Ref(PyErr_NoMemory());
    }
    *a = *from;
    from->release = nullptr;
    Ref capsule(PyCapsule_New(a, chunk_capsule, release_chunk));
    if (!capsule) {
        a->release(a);
        delete a;
    }
    return capsule;
}

// How the values of an Arrow type are read: the NumPy dtype of a view over
// the values buffer ("M8[ns]" for timestamp[ns, tz=...], read as UTC
// instants), and whether the buffer holds 32-bit day counts to be widened
// (date32).  name: the type as messages show it, for the others.
struct Layout {
    const char* dtype = nullptr;
    bool date32 = false;
    const char* name = nullptr;
    bool table = false;  // a struct: the columns of a table
};

inline Layout layout_of(const ArrowSchema& schema) noexcept {
    const char* f = schema.format;
    if (f == nullptr) return {nullptr, false, "a schema without a format"};
    if (schema.dictionary != nullptr) return {nullptr, false, "Arrow dictionary"};
    if (f[0] != '\0' && f[1] == '\0') {
        switch (f[0]) {
            case 'c': return {"i1"};
            case 'C': return {"u1"};
            case 's': return {"i2"};
            case 'S': return {"u2"};
            case 'i': return {"i4"};
            case 'I': return {"u4"};
            case 'l': return {"i8"};
            case 'L': return {"u8"};
            case 'e': return {"f2"};
            case 'f': return {"f4"};
            case 'g': return {"f8"};
            case 'b': return {nullptr, false, "Arrow bool"};
            case 'n': return {nullptr, false, "Arrow null"};
            case 'u': case 'U': return {nullptr, false, "Arrow string"};
            case 'z': case 'Z': return {nullptr, false, "Arrow binary"};
            default: break;
        }
    }
    // t + (s timestamp | D duration | d date) + unit [+ ":" time zone]
    static const char* const timestamps[] = {"M8[s]", "M8[ms]", "M8[us]", "M8[ns]"};
    static const char* const durations[] = {"m8[s]", "m8[ms]", "m8[us]", "m8[ns]"};
    const auto unit = [](char u) { return u == 's' ? 0 : u == 'm' ? 1 : u == 'u' ? 2 : u == 'n' ? 3 : -1; };
    if (f[0] == 't' && f[1] == 's' && f[2] != '\0' && f[3] == ':' && unit(f[2]) >= 0) {
        return {timestamps[unit(f[2])]};
    }
    if (f[0] == 't' && f[1] == 'D' && f[2] != '\0' && f[3] == '\0' && unit(f[2]) >= 0) {
        return {durations[unit(f[2])]};
    }
    if (std::strcmp(f, "tdD") == 0) return {"M8[D]", true};
    if (std::strcmp(f, "tdm") == 0) return {"M8[ms]"};
    if (f[0] == '+' && f[1] == 's') return {nullptr, false, "Arrow struct", true};
    if (f[0] == '+') return {nullptr, false, "Arrow nested type"};
    return {nullptr, false, nullptr};
}

// A column: its chunks' views, in order, with their lengths, and a byte
// per element over the whole column (nonzero: null) when any is null.
struct Column {
    std::vector<Ref> views;
    Ref mask;
    std::size_t length = 0;
    Ref refused;  // the type, as messages show it, when it cannot be read
    bool table = false;  // a struct of columns: not read
};

inline constexpr const char* stream_failed = "%s: the Arrow stream could not be read: %s (error %d)";
inline constexpr const char* bad_chunk = "%s: an Arrow chunk of format '%s' has no values buffer";

// Bytes out[0, n) = 1 where bits [bit, bit + n) of a validity bitmap are 0
// (a null).  True if any was.  Eight elements at a time: their bits span
// one or two bytes of the bitmap (never a byte past the last element's).
inline bool expand_nulls(const std::uint8_t* bitmap, std::int64_t bit, std::size_t n, char* out) noexcept {
    std::uint8_t any = 0;
    const auto first = static_cast<std::uint64_t>(bit);
    const unsigned shift = static_cast<unsigned>(first & 7);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t byte = (first + i) >> 3;
        unsigned bits = bitmap[byte];
        if (shift != 0) bits = (bits | static_cast<unsigned>(bitmap[byte + 1]) << 8) >> shift;
        const auto valid = static_cast<std::uint8_t>(bits);
        if (valid == 0xff) {
            std::memset(out + i, 0, 8);
            continue;
        }
        for (unsigned k = 0; k < 8; ++k) out[i + k] = static_cast<char>(((valid >> k) & 1u) ^ 1u);
        any = static_cast<std::uint8_t>(any | ~valid);
    }
    for (; i < n; ++i) {
        const std::uint64_t b = first + i;
        const auto null = static_cast<std::uint8_t>(((bitmap[b >> 3] >> (b & 7)) & 1u) ^ 1u);
        out[i] = static_cast<char>(null);
        any = static_cast<std::uint8_t>(any | null);
    }
    return any != 0;
}

// The chunks of obj, moved into capsules of our own; the schema is read
// before the producer's capsule goes.  False with an exception set.
struct Chunks {
    std::vector<Ref> capsules;  // each owns an ArrowArray
    Layout layout;
};

inline bool collect_array(PyObject* obj, Chunks& out) noexcept {
    Ref pair(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) pair of capsules");
        return false;
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
    if (schema == nullptr) return false;
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
    if (array == nullptr) return false;
    out.layout = layout_of(*schema);
    if (array->release == nullptr) return true;  // released already: nothing
    Ref chunk = own_chunk(array);
    if (!chunk) return false;
    out.capsules.push_back(std::move(chunk));
    return true;
}

inline bool collect_stream(PyObject* obj, const char* name, Chunks& out) noexcept {
    Ref capsule(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
    if (!capsule) return false;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) return false;
    const auto failed = [&](int code) {
        if (code == ENOMEM) return PyErr_NoMemory(), false;
        const char* text = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
        return fail(invalid_value_type, stream_failed, name, text != nullptr ? text : "no message", code), false;
    };
    OwnedSchema schema;
    if (const int rc = stream->get_schema(stream, &schema.s); rc != 0) return failed(rc);
    out.layout = layout_of(schema.s);
    if (out.layout.dtype == nullptr) return true;  // refused by the caller, unread
    for (;;) {
        ArrowArray next{};
        if (const int rc = stream->get_next(stream, &next); rc != 0) return failed(rc);
        if (next.release == nullptr) return true;  // the end
        Ref chunk = own_chunk(&next);
        if (!chunk) return false;
        out.capsules.push_back(std::move(chunk));
    }
}

// The column obj exports: its chunks as views and its nulls as a mask.
// False with an exception set; a type that cannot be read leaves
// Column::refused set (and nothing else) for the caller to refuse.
inline bool read_column(PyObject* obj, const char* name, Column& column) noexcept {
    Chunks chunks;
    const bool stream = !PyObject_HasAttrString(obj, "__arrow_c_array__");
    if (!(stream ? collect_stream(obj, name, chunks) : collect_array(obj, chunks))) return false;
    if (chunks.layout.table) {
        column.table = true;
        return true;
    }
    if (chunks.layout.dtype == nullptr) {
        const char* shown = chunks.layout.name;
        column.refused = Ref(shown != nullptr ? PyUnicode_FromString(shown) : PyUnicode_FromString("an Arrow type"));
        return static_cast<bool>(column.refused);
    }
    const char* code = chunks.layout.date32 ? "i4" : chunks.layout.dtype;
    Ref descr(reinterpret_cast<PyObject*>(dtype_from(code)));
    if (!descr) return false;
    auto* d = reinterpret_cast<PyArray_Descr*>(descr.get());
    // "u8", "f4", ...: the width is the digit; times are 8 bytes
    const std::int64_t itemsize = code[0] == 'M' || code[0] == 'm' ? 8 : code[1] - '0';
    static const std::int64_t empty = 0;  // the data of an empty chunk without a buffer
    bool any_null = false;
    for (const Ref& capsule : chunks.capsules) {
        const auto* a = static_cast<const ArrowArray*>(PyCapsule_GetPointer(capsule.get(), chunk_capsule));
        if (a == nullptr) return false;
        const bool values = a->n_buffers >= 2 && a->buffers != nullptr && a->buffers[1] != nullptr;
        if (a->length < 0 || a->offset < 0 || (a->length > 0 && !values)) {
            return fail(invalid_value_type, bad_chunk, name, chunks.layout.dtype), false;
        }
        const char* data = values ? static_cast<const char*>(a->buffers[1]) + a->offset * itemsize
                                  : reinterpret_cast<const char*>(&empty);
        npy_intp n = static_cast<npy_intp>(a->length);
        Py_INCREF(d);  // stolen
        Ref view(PyArray_NewFromDescr(&PyArray_Type, d, 1, &n, nullptr, const_cast<char*>(data), 0, nullptr));
        if (!view) return false;
        Py_INCREF(capsule.get());  // stolen, also on failure
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), capsule.get()) < 0) return false;
        if (chunks.layout.date32) {
            PyArray_Descr* days = dtype_from("M8[D]");
            if (days == nullptr) return false;
            view = Ref(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(view.get()), days, 0));
            if (!view) return false;
        }
        any_null = any_null || (a->null_count != 0 && a->n_buffers >= 1 && a->buffers[0] != nullptr);
        column.length += static_cast<std::size_t>(a->length);
        column.views.push_back(std::move(view));
    }
    if (column.views.empty()) {  // a stream without chunks: no elements, of its type
        PyArray_Descr* type = chunks.layout.date32 ? dtype_from("M8[D]") : (Py_INCREF(d), d);
        if (type == nullptr) return false;
        npy_intp zero = 0;
        Ref none(PyArray_Empty(1, &zero, type, 0));
        if (!none) return false;
        column.views.push_back(std::move(none));
    }
    if (!any_null) return true;
    npy_intp total = static_cast<npy_intp>(column.length);
    Ref mask(PyArray_Zeros(1, &total, PyArray_DescrFromType(NPY_BOOL), 0));
    if (!mask) return false;
    char* bytes = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
    bool nulls = false;
    std::size_t at = 0;
    for (const Ref& capsule : chunks.capsules) {
        const auto* a = static_cast<const ArrowArray*>(PyCapsule_GetPointer(capsule.get(), chunk_capsule));
        const auto n = static_cast<std::size_t>(a->length);
        if (a->null_count != 0 && a->buffers[0] != nullptr) {
            nulls = expand_nulls(static_cast<const std::uint8_t*>(a->buffers[0]), a->offset, n, bytes + at) || nulls;
        }
        at += n;
    }
    if (nulls) column.mask = std::move(mask);
    return true;
}

}  // namespace quorvane::table::arrow
