// The per-segment arithmetic: the operation sets Forward and Inverse.
//
// Forward<X, F>::forward(x, x0, x1, f0, f1) gives the value at coordinate x
// strictly inside the segment (x0, f0) - (x1, f1): x0 < x < x1.
// Inverse<F, X>::inverse(f, x0, x1, f0, f1, method) gives the coordinate of
// value f strictly inside a segment: f0 < f < f1; x0 and x1 are arbitrary.
//
// One specialisation per pair of element types; the integer pair lives in
// schemes_int.hpp and the float pair in schemes_float.hpp.  Both are pure
// functions of their operands.
#pragma once

#include <cstdint>

#include "method.hpp"

namespace quorvane {

// The outcome of one query.  The first three failure kinds are the table's
// answers without a value (its InterpError); the last two are internal
// failures that stop the whole call.  They are all carried as values so that
// a batch can stop at the first failing query in index order, whatever kind
// of failure that is.
enum class Status : std::uint8_t {
    Ok = 0,
    OutOfBounds,            // InterpError code 0
    NotFound,               // InterpError code 1
    NotStrictlyIncreasing,  // InterpError code 2
    NanOrInf,               // internal: an unordered comparison in the search
    NotFinite,              // internal: a NaN or infinity reached a scheme
    Interrupted,            // a batch stopped because its caller asked it to
};

template <class T>
struct Lookup {
    T value;
    Status status;
};

template <class T>
constexpr Lookup<T> ok(T value) noexcept {
    return {value, Status::Ok};
}

template <class T>
constexpr Lookup<T> fail(Status s) noexcept {
    return {T{}, s};
}

// Operation sets; only their specialisations exist.
template <class X, class F>
struct Forward;

template <class F, class X>
struct Inverse;

}  // namespace quorvane
