// The 18 built-in functions. None of them fails: arguments of the wrong kind
// give fixed defaults. print and input use the process's own stdout/stdin.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "arith.h"
#include "common/utf8.h"
#include "vm.h"

namespace calvex {

const char* const kBuiltinNames[kBuiltinCount] = {
#define BUILTIN(name, fn) #name,
#include "builtins.def"
#undef BUILTIN
};

namespace {

using Args = std::span<const Value>;

const Value kNil;

inline const Value& arg(std::span<const Value> args, size_t i) { return i < args.size() ? args[i] : kNil; }

// A number as a double, or `dflt` for anything else.
inline double num_or(const Value& v, double dflt) {
    double d;
    return numeric_view(v, d) ? d : dflt;
}

Value builtin_print(Args args) {
    std::string out;
    for (const Value& v : args) append_host_display(out, v);
    out += '\n';
    flockfile(stdout);
    (void)fwrite_unlocked(out.data(), 1, out.size(), stdout);
    (void)fflush_unlocked(stdout);
    funlockfile(stdout);
    return Value();
}

Value builtin_input(Args args) {
    if (!args.empty()) {
        std::string prompt = host_display_text(args[0]);
        flockfile(stdout);
        (void)fwrite_unlocked(prompt.data(), 1, prompt.size(), stdout);
        (void)fflush_unlocked(stdout);
        funlockfile(stdout);
    }
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, stdin);
    if (n < 0) {
        bool failed = ferror(stdin) != 0;
        clearerr(stdin);
        std::free(line);
        if (failed) return Value();
        return Value::string("");
    }
    size_t len = static_cast<size_t>(n);
    if (!utf8_valid(std::string_view(line, len))) {  // a read error: strings hold UTF-8
        std::free(line);
        return Value();
    }
    while (len > 0 && line[len - 1] == '\n') --len;
    while (len > 0 && line[len - 1] == '\r') --len;
    Value result;
    try {
        result = Value::string(std::string_view(line, len));
    } catch (...) {
        std::free(line);
        throw;
    }
    std::free(line);
    return result;
}

int64_t parse_int(std::string_view s) {
    size_t i = 0;
    bool neg = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        neg = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return 0;
    // Accumulate as a negative number so the smallest integer parses.
    int64_t acc = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return 0;
        if (__builtin_mul_overflow(acc, 10, &acc) || __builtin_sub_overflow(acc, c - '0', &acc)) return 0;
    }
    if (neg) return acc;
    if (acc == arith::kIntMin) return 0;
    return -acc;
}

double parse_float(std::string_view s) {
    std::string_view t = s;
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty() || t[0] == '+' || t[0] == '-') return 0.0;
    // Only decimal digits, a point, exponent marks and the words inf,
    // infinity and nan are accepted; from_chars would also take "nan(...)".
    for (char c : t)
        if (c == '(' || c == ')' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return 0.0;
    double x = 0.0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), x, std::chars_format::general);
    if (r.ptr != t.data() + t.size()) return 0.0;
    if (r.ec == std::errc::result_out_of_range) {
        std::string copy(t);
        x = std::strtod(copy.c_str(), nullptr);
    } else if (r.ec != std::errc()) {
        return 0.0;
    }
    return neg ? -x : x;
}

Value builtin_int(Args args) {
    const Value& x = arg(args, 0);
    switch (x.kind()) {
        case Kind::Bool: return Value::integer(x.as_bool() ? 1 : 0);
        case Kind::Int: return x;
        case Kind::Float: {
            double d = x.as_float();
            if (std::isnan(d)) return Value::integer(0);
            if (d >= 9223372036854775807.0) return Value::integer(arith::kIntMax);
            if (d <= -9223372036854775808.0) return Value::integer(arith::kIntMin);
            return Value::integer(static_cast<int64_t>(d));
        }
        case Kind::String: return Value::integer(parse_int(x.as_string()));
        default: return Value::integer(0);
    }
}

Value builtin_float(Args args) {
    const Value& x = arg(args, 0);
    switch (x.kind()) {
        case Kind::Bool: return Value::number(x.as_bool() ? 1.0 : 0.0);
        case Kind::Int: return Value::number(static_cast<double>(x.as_int()));
        case Kind::Float: return x;
        case Kind::String: return Value::number(parse_float(x.as_string()));
        default: return Value::number(0.0);
    }
}

int64_t length_of(const Value& x) {
    switch (x.kind()) {
        case Kind::String: return static_cast<int64_t>(x.as_string().size());
        case Kind::Array: return static_cast<int64_t>(x.items().size());
        case Kind::Object: return static_cast<int64_t>(x.members().size());
        default: return 0;
    }
}

Value builtin_range(Args args) {
    const Value& a = arg(args, 0);
    const Value& b = arg(args, 1);
    int64_t start = a.is_int() ? a.as_int() : 0;
    int64_t end = b.is_int() ? b.as_int() : 0;
    if (end <= start) return Value::array();
    uint64_t n = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
    // Larger than any vector can be: the same outcome as a failed allocation.
    if (n > std::vector<Value>().max_size()) throw std::bad_alloc();
    Value arr = Value::array();
    std::vector<Value>& items = arr.unique_items();  // a fresh cell: no copy
    items.reserve(static_cast<size_t>(n));
    for (uint64_t i = 0; i < n; ++i)
        items.emplace_back(Value::integer(static_cast<int64_t>(static_cast<uint64_t>(start) + i)));
    return arr;
}

Value do_minmax(const Value& a, const Value& b, bool want_max) {
    if (a.is_int() && b.is_int()) {
        int64_t x = a.as_int(), y = b.as_int();
        if (want_max) return y > x ? b : a;
        return y < x ? b : a;
    }
    if (a.is_number() && b.is_number()) {
        double x = a.is_int() ? static_cast<double>(a.as_int()) : a.as_float();
        double y = b.is_int() ? static_cast<double>(b.as_int()) : b.as_float();
        return Value::number(want_max ? std::fmax(x, y) : std::fmin(x, y));
    }
    if (a.is_string() && b.is_string()) {
        int c = a.as_string().compare(b.as_string());
        if (want_max) return Value::string(c > 0 ? a.as_string() : b.as_string());
        return Value::string(c < 0 ? a.as_string() : b.as_string());
    }
    return Value();
}

// 10^d by repeated squaring, d taken as a 32-bit integer.
double pow10i(int32_t d) {
    double base = 10.0, r = 1.0;
    uint32_t n = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
    while (n) {
        if (n & 1u) r *= base;
        base *= base;
        n >>= 1;
    }
    return d < 0 ? 1.0 / r : r;
}

Value builtin_round(Args args) {
    const Value& x = arg(args, 0);
    bool has_digits = args.size() >= 2 && args[1].is_int();
    if (x.is_int()) {
        double v = static_cast<double>(x.as_int());
        if (!has_digits) return Value::number(v);
        double p = pow10i(static_cast<int32_t>(args[1].as_int()));
        return Value::number(std::round(v * p) / p);
    }
    if (x.is_float()) {
        double v = x.as_float();
        if (!has_digits) return Value::number(std::round(v));
        double p = pow10i(static_cast<int32_t>(args[1].as_int()));
        return Value::number(std::round(v * p) / p);
    }
    return Value::number(0.0);
}

uint64_t now_nanos() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

Value builtin_clock(Args) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) return Value::number(0.0);
    return Value::number(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

Value builtin_rand(Args args) {
    uint64_t x = now_nanos();
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    double r = static_cast<double>(x) * 0x1p-64;
    if (r >= 1.0) r = std::nextafter(1.0, 0.0);
    if (args.size() == 1) return Value::number(r * num_or(args[0], 1.0));
    if (args.size() >= 2) {
        double lo = num_or(args[0], 0.0), hi = num_or(args[1], 1.0);
        return Value::number(r * (hi - lo) + lo);
    }
    return Value::number(r);
}

Value builtin_str(Args args) { return Value::string(display_text(arg(args, 0))); }
Value builtin_len(Args args) { return Value::integer(length_of(arg(args, 0))); }
Value builtin_typeof(Args args) { return Value::string(kind_name(arg(args, 0).kind())); }
Value builtin_sqrt(Args args) { return Value::number(std::sqrt(num_or(arg(args, 0), 0.0))); }
Value builtin_abs(Args args) {
    const Value& x = arg(args, 0);
    if (x.is_int()) return Value::integer(x.as_int() < 0 ? arith::wrap_neg(x.as_int()) : x.as_int());
    if (x.is_float()) return Value::number(std::fabs(x.as_float()));
    return x;
}
Value builtin_min(Args args) { return do_minmax(arg(args, 0), arg(args, 1), false); }
Value builtin_max(Args args) { return do_minmax(arg(args, 0), arg(args, 1), true); }
Value builtin_pow(Args args) {
    return Value::number(std::pow(num_or(arg(args, 0), 0.0), num_or(arg(args, 1), 0.0)));
}
Value builtin_cos(Args args) {
    double d;
    return Value::number(numeric_view(arg(args, 0), d) ? std::cos(d) : 0.0);
}
Value builtin_sin(Args args) {
    double d;
    return Value::number(numeric_view(arg(args, 0), d) ? std::sin(d) : 0.0);
}

using BuiltinFn = Value (*)(Args);
constexpr BuiltinFn kBuiltinFns[kBuiltinCount] = {
#define BUILTIN(name, fn) fn,
#include "builtins.def"
#undef BUILTIN
};

}  // namespace

int builtin_index(std::string_view name) {
    for (size_t i = 0; i < kBuiltinCount; ++i)
        if (name == kBuiltinNames[i]) return static_cast<int>(i);
    return -1;
}

Value call_builtin(int index, std::span<const Value> args) {
    if (index < 0 || static_cast<size_t>(index) >= kBuiltinCount) return Value();
    return kBuiltinFns[index](args);
}

}  // namespace calvex
