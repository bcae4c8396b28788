#include "arith.h"

namespace calvex::arith {

namespace {
constexpr const char* kWords[] = {"add", "sub", "mul", "div", "mod", "pow"};

inline double as_double(const Value& v) {
    return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
}
}  // namespace

bool generic(BinOp op, const Value& a, const Value& b, Value& out, std::string& err) {
    if (!a.is_number() || !b.is_number()) {
        err = "Type error: cannot apply ";
        err += kWords[static_cast<int>(op)];
        err += " to ";
        err += kind_name(a.kind());
        err += " and ";
        err += kind_name(b.kind());
        return false;
    }
    if (a.is_int() && b.is_int()) {
        int64_t x = a.as_int(), y = b.as_int();
        switch (op) {
            case BinOp::Add: out = Value::integer(sat_add(x, y)); return true;
            case BinOp::Sub: out = Value::integer(sat_sub(x, y)); return true;
            case BinOp::Mul: out = Value::integer(sat_mul(x, y)); return true;
            case BinOp::Div:
                if (y == 0) {
                    err = "Division by zero";
                    return false;
                }
                out = Value::number(static_cast<double>(x) / static_cast<double>(y));
                return true;
            case BinOp::Mod:
                if (y == 0) {
                    err = "Modulo by zero";
                    return false;
                }
                out = Value::integer(int_mod(x, y));
                return true;
            case BinOp::Pow:
                out = Value::number(std::pow(static_cast<double>(x), static_cast<double>(y)));
                return true;
        }
    }
    double x = as_double(a), y = as_double(b);
    switch (op) {
        case BinOp::Add: out = Value::number(x + y); return true;
        case BinOp::Sub: out = Value::number(x - y); return true;
        case BinOp::Mul: out = Value::number(x * y); return true;
        case BinOp::Div:
            if (y == 0.0) {
                err = "Division by zero";
                return false;
            }
            out = Value::number(x / y);
            return true;
        case BinOp::Mod:
            if (y == 0.0) {
                err = "Modulo by zero";
                return false;
            }
            out = Value::number(std::fmod(x, y));
            return true;
        case BinOp::Pow: out = Value::number(std::pow(x, y)); return true;
    }
    return false;
}

bool ordered(int which, const Value& a, const Value& b, bool& out, std::string& err) {
    double x, y;
    // b is examined first; both failures carry the same text.
    if (!numeric_view(b, y) || !numeric_view(a, x)) {
        err = "Type error: expected number";
        return false;
    }
    switch (which) {
        case 0: out = x < y; break;
        case 1: out = x <= y; break;
        case 2: out = x > y; break;
        default: out = x >= y; break;
    }
    return true;
}

}  // namespace calvex::arith
