// Arithmetic, comparison and logic on values. The interpreter loop inlines the
// Int/Int and Float/Float cases and calls the generic helpers for the rest.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "value.h"

namespace calvex::arith {

inline constexpr int64_t kIntMax = std::numeric_limits<int64_t>::max();
inline constexpr int64_t kIntMin = std::numeric_limits<int64_t>::min();

inline int64_t sat_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        return b > 0 ? kIntMax : kIntMin;
    return r;
}
inline int64_t sat_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) [[unlikely]]
        return b < 0 ? kIntMax : kIntMin;
    return r;
}
inline int64_t sat_mul(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        return (a < 0) != (b < 0) ? kIntMin : kIntMax;
    return r;
}
// Truncated remainder; b != 0. The smallest integer mod -1 is 0 (the
// hardware division would trap).
inline int64_t int_mod(int64_t a, int64_t b) { return b == -1 ? 0 : a % b; }
// Wrap-around negation: the smallest integer stays itself.
inline int64_t wrap_neg(int64_t a) { return static_cast<int64_t>(0 - static_cast<uint64_t>(a)); }

enum class BinOp : uint8_t { Add, Sub, Mul, Div, Mod, Pow };

// Generic arithmetic on any two values (the Int/Int and Float/Float fast
// paths included). On failure returns false and sets `err`.
bool generic(BinOp op, const Value& a, const Value& b, Value& out, std::string& err);

// Lt, Le, Gt, Ge through the numeric view; `which` is 0..3 in that order.
// Fails with "Type error: expected number".
bool ordered(int which, const Value& a, const Value& b, bool& out, std::string& err);

}  // namespace calvex::arith
