#include "numfmt.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace calvex {

namespace {
bool special(double x, std::string& out) {
    if (std::isnan(x)) { out += "NaN"; return true; }
    if (std::isinf(x)) { out += x < 0 ? "-inf" : "inf"; return true; }
    return false;
}

// Shortest round-trip digits of x, written out without an exponent.
void append_plain(std::string& out, double x) {
    if (special(x, out)) return;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view t(buf, static_cast<size_t>(r.ptr - buf));  // -d.ddde+XX
    size_t i = 0;
    if (t[0] == '-') { out += '-'; i = 1; }
    std::string digits;
    size_t e = t.find('e');
    for (; i < e; ++i)
        if (t[i] != '.') digits += t[i];
    int exp = 0;
    std::from_chars(t.data() + e + (t[e + 1] == '+' ? 2 : 1), t.data() + t.size(), exp);
    if (exp >= 0) {
        size_t int_len = static_cast<size_t>(exp) + 1;
        if (digits.size() <= int_len) {
            out += digits;
            out.append(int_len - digits.size(), '0');
        } else {
            out.append(digits, 0, int_len);
            out += '.';
            out.append(digits, int_len, std::string::npos);
        }
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-exp - 1), '0');
        out += digits;
    }
}
}  // namespace

std::string float_plain(double x) {
    std::string s;
    append_plain(s, x);
    return s;
}

std::string float_debug(double x) {
    std::string s;
    if (special(x, s)) return s;
    double m = std::fabs(x);
    char buf[400];
    if (m == 0.0 || (m >= 1e-4 && m < 1e16)) {
        append_plain(s, x);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string t(buf, r.ptr);  // e.g. 1.5e-07, 1e+16
    auto e = t.find('e');
    s = t.substr(0, e);
    s += 'e';
    size_t i = e + 1;
    if (t[i] == '+') ++i;
    else if (t[i] == '-') { s += '-'; ++i; }
    while (i + 1 < t.size() && t[i] == '0') ++i;
    s.append(t, i, std::string::npos);
    return s;
}

void append_float_display(std::string& out, double x) {
    double t = std::trunc(x);
    if (std::isnan(x) || std::isinf(x) || x - t != 0.0) {
        append_plain(out, x);
        return;
    }
    char buf[400];
    int n = std::snprintf(buf, sizeof buf, "%.1f", x);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

std::string float_display(double x) {
    std::string s;
    append_float_display(s, x);
    return s;
}

}  // namespace calvex
