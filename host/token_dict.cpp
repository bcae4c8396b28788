// Tokens <-> host token dictionaries {token_type, value, line, column}.
#include "host.h"  // first: Python.h must precede the standard headers
#include "bindings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "common/numfmt.h"
#include "parser/lexer.h"

namespace calvex {

namespace {

using host::Ref;

// ---- tokens -> dictionaries ----------------------------------------------------

// The value text of kinds without payload: the operator spelling for the
// kinds listed here, empty for every other kind.
const char* fixed_value_text(TokenKind k) {
    switch (k) {
        case TokenKind::PlusPlus: return "++";
        case TokenKind::SlashSlash: return "//";
        case TokenKind::PlusEq: return "+=";
        case TokenKind::MinusEq: return "-=";
        case TokenKind::StarEq: return "*=";
        case TokenKind::SlashEq: return "/=";
        case TokenKind::PercentEq: return "%=";
        case TokenKind::PowerEq: return "**=";
        case TokenKind::AmpEq: return "&=";
        case TokenKind::PipeEq: return "|=";
        case TokenKind::CaretEq: return "^=";
        case TokenKind::LShiftEq: return "<<=";
        case TokenKind::RShiftEq: return ">>=";
        case TokenKind::Assign: return "=";
        case TokenKind::Arrow: return "->";
        case TokenKind::FatArrow: return "=>";
        case TokenKind::QuestionDot: return "?.";
        case TokenKind::Nullish: return "??";
        case TokenKind::NullishEq: return "?\?=";  // "??=" would warn as a trigraph
        case TokenKind::PipeGt: return "|>";
        case TokenKind::DoubleColon: return "::";
        case TokenKind::At: return "@";
        case TokenKind::DotDot: return "..";
        case TokenKind::DotDotEq: return "..=";
        case TokenKind::Ellipsis: return "...";
        default: return "";
    }
}

// Per-call caches of the str objects every token of a kind shares (its host
// name, and its value text when the kind has no payload).
struct KindStrings {
    std::array<Ref, kTokenKindCount> names;
    std::array<Ref, kTokenKindCount> fixed_values;

    PyObject* cached(Ref& slot, const char* text) {
        if (!slot) slot = Ref::steal(PyUnicode_InternFromString(text));
        return slot.get();
    }
    PyObject* name(TokenKind k) { return cached(names[static_cast<size_t>(k)], token_host_name(k)); }
    PyObject* fixed_value(TokenKind k) {
        return cached(fixed_values[static_cast<size_t>(k)], fixed_value_text(k));
    }
};

// New reference to the value text of `t`, or nullptr with an error set.
PyObject* value_text(const Token& t, KindStrings& strings) {
    if (auto* i = std::get_if<int64_t>(&t.payload)) return host::to_str(std::to_string(*i));
    if (auto* d = std::get_if<double>(&t.payload)) return host::to_str(float_plain(*d));
    if (auto* b = std::get_if<bool>(&t.payload)) return host::to_str(*b ? "true" : "false");
    if (auto* s = std::get_if<std::string>(&t.payload)) return host::to_str(*s);
    return Py_XNewRef(strings.fixed_value(t.kind));
}

PyObject* tokens_to_host(const std::vector<Token>& tokens) {
    Ref keys[4] = {
        Ref::steal(PyUnicode_InternFromString("token_type")),
        Ref::steal(PyUnicode_InternFromString("value")),
        Ref::steal(PyUnicode_InternFromString("line")),
        Ref::steal(PyUnicode_InternFromString("column")),
    };
    for (const Ref& k : keys)
        if (!k) return nullptr;
    KindStrings strings;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        Ref fields[4] = {
            Ref::borrow(strings.name(t.kind)),
            Ref::steal(value_text(t, strings)),
            Ref::steal(PyLong_FromUnsignedLongLong(t.line)),
            Ref::steal(PyLong_FromUnsignedLongLong(t.column)),
        };
        for (int f = 0; f < 4; ++f) {
            if (!fields[f] || PyDict_SetItem(dict.get(), keys[f].get(), fields[f].get()) < 0)
                return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list.release();
}

// ---- dictionaries -> tokens ----------------------------------------------------

enum class Read : uint8_t { Plain, IntValue, FloatValue, Text, True, False };

struct HostName {
    std::string_view name;
    TokenKind kind;
    Read read;
};

// The names read back, sorted by byte order. Not the inverse of
// token_host_name: any name missing here reads as an identifier named by the
// value text.
constexpr HostName kHostNames[] = {
    {"And", TokenKind::And, Read::Plain},
    {"Arrow", TokenKind::Arrow, Read::Plain},
    {"Assign", TokenKind::Assign, Read::Plain},
    {"Async", TokenKind::Async, Read::Plain},
    {"Await", TokenKind::Await, Read::Plain},
    {"BitwiseAnd", TokenKind::BitwiseAnd, Read::Plain},
    {"BitwiseNot", TokenKind::BitwiseNot, Read::Plain},
    {"BitwiseOr", TokenKind::BitwiseOr, Read::Plain},
    {"BitwiseXor", TokenKind::BitwiseXor, Read::Plain},
    {"Break", TokenKind::Break, Read::Plain},
    {"Case", TokenKind::Case, Read::Plain},
    {"Catch", TokenKind::Catch, Read::Plain},
    {"Class", TokenKind::Class, Read::Plain},
    {"Colon", TokenKind::Colon, Read::Plain},
    {"Comma", TokenKind::Comma, Read::Plain},
    {"Const", TokenKind::Const, Read::Plain},
    {"Continue", TokenKind::Continue, Read::Plain},
    {"Default", TokenKind::Default, Read::Plain},
    {"Dot", TokenKind::Dot, Read::Plain},
    {"Else", TokenKind::Else, Read::Plain},
    {"Enum", TokenKind::Enum, Read::Plain},
    {"Eof", TokenKind::Eof, Read::Plain},
    {"Eq", TokenKind::Eq, Read::Plain},
    {"False", TokenKind::Bool, Read::False},
    {"Finally", TokenKind::Finally, Read::Plain},
    {"Float", TokenKind::Float, Read::FloatValue},
    {"Fn", TokenKind::Fn, Read::Plain},
    {"For", TokenKind::For, Read::Plain},
    {"Gt", TokenKind::Gt, Read::Plain},
    {"Gte", TokenKind::Gte, Read::Plain},
    {"Ident", TokenKind::Identifier, Read::Text},
    {"If", TokenKind::If, Read::Plain},
    {"In", TokenKind::In, Read::Plain},
    {"Int", TokenKind::Int, Read::IntValue},
    {"LBrace", TokenKind::LeftBrace, Read::Plain},
    {"LBracket", TokenKind::LeftBracket, Read::Plain},
    {"LParen", TokenKind::LeftParen, Read::Plain},
    {"LeftBrace", TokenKind::LeftBrace, Read::Plain},
    {"LeftBracket", TokenKind::LeftBracket, Read::Plain},
    {"LeftParen", TokenKind::LeftParen, Read::Plain},
    {"LeftShift", TokenKind::LeftShift, Read::Plain},
    {"Let", TokenKind::Let, Read::Plain},
    {"Lt", TokenKind::Lt, Read::Plain},
    {"Lte", TokenKind::Lte, Read::Plain},
    {"Minus", TokenKind::Minus, Read::Plain},
    {"Neq", TokenKind::Neq, Read::Plain},
    {"Nil", TokenKind::Nil, Read::Plain},
    {"Not", TokenKind::Not, Read::Plain},
    {"Or", TokenKind::Or, Read::Plain},
    {"Percent", TokenKind::Percent, Read::Plain},
    {"Plus", TokenKind::Plus, Read::Plain},
    {"Power", TokenKind::Power, Read::Plain},
    {"Question", TokenKind::Question, Read::Plain},
    {"RBrace", TokenKind::RightBrace, Read::Plain},
    {"RBracket", TokenKind::RightBracket, Read::Plain},
    {"RParen", TokenKind::RightParen, Read::Plain},
    {"Return", TokenKind::Return, Read::Plain},
    {"RightBrace", TokenKind::RightBrace, Read::Plain},
    {"RightBracket", TokenKind::RightBracket, Read::Plain},
    {"RightParen", TokenKind::RightParen, Read::Plain},
    {"RightShift", TokenKind::RightShift, Read::Plain},
    {"Semicolon", TokenKind::Semicolon, Read::Plain},
    {"Slash", TokenKind::Slash, Read::Plain},
    {"Star", TokenKind::Star, Read::Plain},
    {"String", TokenKind::String, Read::Text},
    {"Struct", TokenKind::Struct, Read::Plain},
    {"Switch", TokenKind::Switch, Read::Plain},
    {"Throw", TokenKind::Throw, Read::Plain},
    {"True", TokenKind::Bool, Read::True},
    {"Try", TokenKind::Try, Read::Plain},
    {"While", TokenKind::While, Read::Plain},
    {"Yield", TokenKind::Yield, Read::Plain},
};

constexpr bool host_names_sorted() {
    for (size_t i = 1; i < std::size(kHostNames); ++i)
        if (!(kHostNames[i - 1].name < kHostNames[i].name)) return false;
    return true;
}
static_assert(host_names_sorted());

const HostName* find_host_name(std::string_view name) {
    auto it = std::lower_bound(std::begin(kHostNames), std::end(kHostNames), name,
                               [](const HostName& h, std::string_view n) { return h.name < n; });
    return it != std::end(kHostNames) && it->name == name ? it : nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ['+'|'-'] digit+ within int64; anything else reads as 0.
int64_t read_int(std::string_view s) {
    size_t start = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (start == s.size() || !std::all_of(s.begin() + start, s.end(), is_digit)) return 0;
    // from_chars takes a '-' but not a '+'.
    size_t from = s[0] == '+' ? 1 : 0;
    int64_t v = 0;
    auto r = std::from_chars(s.data() + from, s.data() + s.size(), v);
    return r.ec == std::errc() ? v : 0;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == y;
           });
}

// ['+'|'-'] (digits ['.' digits] | '.' digits) [('e'|'E') ['+'|'-'] digit+]
// with at least one mantissa digit, or ['+'|'-'] inf|infinity|nan in any
// case; no spaces. Anything else reads as 0.0.
double read_float(std::string_view s) {
    bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    double sign = negative ? -1.0 : 1.0;
    if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity"))
        return sign * std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(s, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
    size_t i = 0, mantissa_digits = 0;
    auto digits = [&] {
        size_t n = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++n;
        return n;
    };
    mantissa_digits += digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa_digits += digits();
    }
    if (mantissa_digits == 0) return 0.0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digits() == 0) return 0.0;
    }
    if (i != s.size()) return 0.0;
    return sign * decimal_text_to_double(s);
}

// Looks `key` up without calling any method of a dict subclass. Returns false
// only when the lookup itself raised; `out` stays empty when the key is absent.
bool lookup(PyObject* dict, PyObject* key, Ref& out) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v) return !PyErr_Occurred();
    out = Ref::borrow(v);  // own it before anything can run that mutates the dict
    return true;
}

// A required str entry, as UTF-8 text kept alive by `holder`.
bool required_text(PyObject* dict, PyObject* key, const char* missing, Ref& holder,
                   std::string_view& text) {
    if (!lookup(dict, key, holder)) return false;
    if (!holder) {
        host::raise(PyExc_ValueError, missing);
        return false;
    }
    if (!PyUnicode_Check(holder.get())) {
        host::raise_wrong_type(holder.get(), "PyString");
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(holder.get(), &len);
    if (!utf8) return false;
    text = std::string_view(utf8, static_cast<size_t>(len));
    return true;
}

// A position entry: absent or unusable (negative, too large, not an integer)
// gives 0 and no error; only an error of the lookup itself is raised.
bool position(PyObject* dict, PyObject* key, uint64_t& out) {
    out = 0;
    Ref v;
    if (!lookup(dict, key, v)) return false;
    if (!v) return true;
    Ref index = Ref::steal(PyNumber_Index(v.get()));
    if (index) {
        unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) out = n;
    }
    PyErr_Clear();
    return true;
}

struct DictKeys {
    Ref token_type, value, line, column;
};

bool token_from_dict(PyObject* item, const DictKeys& keys, Token& token) {
    if (!PyDict_Check(item)) {
        host::raise_wrong_type(item, "PyDict");
        return false;
    }
    Ref type_obj, value_obj;
    std::string_view type, value;
    if (!required_text(item, keys.token_type.get(), "Missing token_type", type_obj, type) ||
        !required_text(item, keys.value.get(), "Missing value", value_obj, value) ||
        !position(item, keys.line.get(), token.line) ||
        !position(item, keys.column.get(), token.column))
        return false;
    const HostName* h = find_host_name(type);
    if (!h) {
        token.kind = TokenKind::Identifier;
        token.payload = std::string(value);
        return true;
    }
    token.kind = h->kind;
    switch (h->read) {
        case Read::Plain: token.payload = std::monostate{}; break;
        case Read::IntValue: token.payload = read_int(value); break;
        case Read::FloatValue: token.payload = read_float(value); break;
        case Read::Text: token.payload = std::string(value); break;
        case Read::True: token.payload = true; break;
        case Read::False: token.payload = false; break;
    }
    return true;
}

// Converts after collecting every item, so a failing iteration wins over a
// bad item. Collecting is still part of converting the `py_tokens` argument
// (its TypeErrors get the argument prefix); the per-item conversion is not.
// Returns a new reference to None on success.
PyObject* convert_sequence(PyObject* seq, std::vector<Token>& out) {
    std::vector<Ref> items;
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0)
        PyErr_Clear();
    else  // a hint only: a lying __len__ must not decide the allocation
        items.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return host::prefix_argument_error("py_tokens"), nullptr;
    while (PyObject* item = PyIter_Next(iter.get())) items.push_back(Ref::steal(item));
    if (PyErr_Occurred()) return host::prefix_argument_error("py_tokens"), nullptr;

    DictKeys keys{
        Ref::steal(PyUnicode_InternFromString("token_type")),
        Ref::steal(PyUnicode_InternFromString("value")),
        Ref::steal(PyUnicode_InternFromString("line")),
        Ref::steal(PyUnicode_InternFromString("column")),
    };
    if (!keys.token_type || !keys.value || !keys.line || !keys.column) return nullptr;

    std::vector<Token> tokens;
    tokens.reserve(items.size());
    for (const Ref& item : items) {
        Token t;
        if (!token_from_dict(item.get(), keys, t)) return nullptr;
        tokens.push_back(std::move(t));
    }
    out = std::move(tokens);
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* lex_to_host(std::string_view source) {
    return host::guard([&]() -> PyObject* {
        auto tokens = tokenize(source);
        if (!tokens) {
            host::raise(PyExc_SyntaxError, tokens.error());
            return nullptr;
        }
        return tokens_to_host(*tokens);
    });
}

bool tokens_from_host(PyObject* seq, std::vector<Token>& out) {
    Ref done = Ref::steal(host::guard([&] { return convert_sequence(seq, out); }));
    return static_cast<bool>(done);
}

}  // namespace calvex
