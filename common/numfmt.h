// Text forms of doubles shared by the lexer, the token dictionaries and the
// value display.
#pragma once

#include <string>

namespace calvex {

// Shortest round-trip digits in plain notation, no exponent; integral values
// have no point ("3", "2.5", "0.0000001"); "NaN", "inf", "-inf".
std::string float_plain(double x);

// Token debug form: plain with at least one fractional digit when x is 0 or
// 1e-4 <= |x| < 1e16 ("1.0", "0.5"), otherwise shortest exponent form
// ("1e16", "1.5e-7"); "NaN", "inf", "-inf".
std::string float_debug(double x);

// In-language display: fractional or non-finite values in float_plain form,
// integral values with exactly one decimal ("3.0", "-0.0", "1e20" in full).
std::string float_display(double x);

// Append float_display(x) to out.
void append_float_display(std::string& out, double x);

}  // namespace calvex
