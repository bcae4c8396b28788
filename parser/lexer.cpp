// Source text -> tokens. The lexer reads the UTF-8 bytes in place: every
// character it dispatches on is ASCII, so look-ahead compares bytes, and a
// character outside ASCII is decoded only where it is consumed (one column
// per code point; a malformed byte is one U+FFFD, one column).
#include "lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <cstring>
#include <system_error>

#include "common/utf8.h"

namespace calvex {

double decimal_text_to_double(std::string_view text) {
    double v = 0.0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc::result_out_of_range) return v;
    // Out of range means the decimal exponent of the leading nonzero digit is
    // far from zero; its sign tells overflow from underflow.
    size_t e = text.find_first_of("eE");
    std::string_view mant = text.substr(0, e);
    size_t point = mant.find('.');
    if (point == std::string_view::npos) point = mant.size();
    size_t first = mant.find_first_not_of("0.");
    if (first == std::string_view::npos) return 0.0;
    int64_t lead = first < point ? static_cast<int64_t>(point - first) - 1
                                 : -static_cast<int64_t>(first - point);
    int64_t exp = 0;
    if (e != std::string_view::npos) {
        size_t i = e + 1;
        bool neg = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        for (; i < text.size() && exp < 1'000'000'000; ++i) exp = exp * 10 + (text[i] - '0');
        if (neg) exp = -exp;
    }
    return lead + exp > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

namespace {

// Returned by peek() at the end; not a Unicode scalar value, so it never
// equals a source character (U+0000 is a legal source character).
constexpr char32_t kNone = 0x110000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_start(char c) { return is_alpha(c) || c == '_'; }
bool is_quote(char c) { return c == '"' || c == '\''; }

// Identifier characters: ASCII letters, digits and '_'.
constexpr auto kIdentChar = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return t;
}();

struct Keyword {
    std::string_view word;
    TokenKind kind;
};

// "true"/"false" map to Bool and get their payload from the word.
constexpr Keyword kKeywords[] = {
    {"_draw", TokenKind::OnNodeDraw},   {"_ready", TokenKind::OnReady},
    {"_update", TokenKind::OnNodeUpdate}, {"and", TokenKind::And},
    {"async", TokenKind::Async},        {"await", TokenKind::Await},
    {"bool", TokenKind::BoolType},      {"break", TokenKind::Break},
    {"case", TokenKind::Case},          {"catch", TokenKind::Catch},
    {"class", TokenKind::Class},        {"const", TokenKind::Const},
    {"continue", TokenKind::Continue},  {"div", TokenKind::Div},
    {"else", TokenKind::Else},          {"enum", TokenKind::Enum},
    {"false", TokenKind::Bool},         {"finally", TokenKind::Finally},
    {"float", TokenKind::FloatType},    {"fn", TokenKind::Fn},
    {"for", TokenKind::For},            {"if", TokenKind::If},
    {"in", TokenKind::In},              {"int", TokenKind::IntType},
    {"is", TokenKind::Is},              {"let", TokenKind::Let},
    {"match", TokenKind::Switch},       {"nil", TokenKind::Nil},
    {"not", TokenKind::Not},            {"null", TokenKind::Null},
    {"on_draw", TokenKind::OnDraw},     {"on_exit", TokenKind::OnExit},
    {"on_start", TokenKind::OnStart},   {"on_update", TokenKind::OnUpdate},
    {"or", TokenKind::Or},              {"return", TokenKind::Return},
    {"scene", TokenKind::Class},        {"string", TokenKind::StringType},
    {"struct", TokenKind::Struct},      {"throw", TokenKind::Throw},
    {"true", TokenKind::Bool},          {"try", TokenKind::Try},
    {"void", TokenKind::VoidType},      {"while", TokenKind::While},
    {"yield", TokenKind::Yield},
};
constexpr size_t kMinKeyword = 2, kMaxKeyword = 9;

// Open addressing over the keywords: a word is looked up with one hash and
// a probe or two instead of a search through the list.
constexpr size_t kKeywordSlots = 128;
constexpr size_t keyword_hash(std::string_view w) {
    return (w.size() * 7 + static_cast<unsigned char>(w[0]) * 31 +
            static_cast<unsigned char>(w[w.size() - 1]) * 3 + static_cast<unsigned char>(w[1])) %
           kKeywordSlots;
}
constexpr auto kKeywordTable = [] {
    std::array<int8_t, kKeywordSlots> t{};
    for (auto& s : t) s = -1;
    for (size_t k = 0; k < std::size(kKeywords); ++k) {
        size_t h = keyword_hash(kKeywords[k].word);
        while (t[h] >= 0) h = (h + 1) % kKeywordSlots;
        t[h] = static_cast<int8_t>(k);
    }
    return t;
}();
static_assert(std::size(kKeywords) < kKeywordSlots / 2);

const Keyword* find_keyword(std::string_view word) {
    if (word.size() < kMinKeyword || word.size() > kMaxKeyword) return nullptr;
    for (size_t h = keyword_hash(word); kKeywordTable[h] >= 0; h = (h + 1) % kKeywordSlots) {
        const Keyword& k = kKeywords[kKeywordTable[h]];
        if (k.word == word) return &k;
    }
    return nullptr;
}

// Digits only (no sign, no underscores) in `base`; a value beyond int64 is 0.
int64_t integer_or_zero(std::string_view digits, int base) {
    int64_t v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return 0;
    return v;
}

void set_kind(Lexeme& out, TokenKind kind, uint64_t line, uint64_t col) {
    out.kind = kind;
    out.payload = 0;
    out.stable = false;
    out.line = line;
    out.column = col;
    out.text = {};
}

}  // namespace

bool Lexer::fail(std::string message) {
    failed_ = true;
    error_ = std::move(message);
    return false;
}

bool Lexer::fail_here(std::string_view message) {
    std::string s = "Lexer error at ";
    s += std::to_string(line_);
    s += ':';
    s += std::to_string(col_);
    s += ": ";
    s += message;
    return fail(std::move(s));
}

// The code point at the current position, or kNone at the end.
char32_t Lexer::peek() const {
    if (pos_ >= src_.size()) return kNone;
    const auto b = static_cast<unsigned char>(src_[pos_]);
    if (b < 0x80) return b;
    const Utf8Char c = utf8_next(src_, pos_, Utf8Policy::ByteWise);
    return c.ok ? c.cp : 0xFFFD;
}

// Consumes one code point. Precondition: not at the end.
void Lexer::advance() {
    const auto b = static_cast<unsigned char>(src_[pos_]);
    if (b == '\n') {
        ++pos_;
        ++line_;
        col_ = 1;
        return;
    }
    pos_ += b < 0x80 ? 1 : utf8_next(src_, pos_, Utf8Policy::ByteWise).len;
    ++col_;
}

bool Lexer::next(Lexeme& out) {
    if (failed_) return false;
    return scan(out);
}

bool Lexer::drain() {
    Lexeme t;
    while (next(t))
        if (t.kind == TokenKind::Eof) return true;
    return false;
}

bool Lexer::scan(Lexeme& out) {
    const size_t n = src_.size();
    for (;;) {
        // Blanks and line comments, the bulk of most sources, in one tight loop.
        while (pos_ < n) {
            const char c = src_[pos_];
            if (c == ' ') {
                // Indentation comes in runs.
                const size_t start = pos_++;
                while (pos_ < n && src_[pos_] == ' ') ++pos_;
                col_ += pos_ - start;
            } else if (c == '\t' || c == '\r') {
                ++pos_;
                ++col_;
            } else if (c == '\n') {
                ++pos_;
                ++line_;
                col_ = 1;
            } else if (c == '#') {
                skip_line();
            } else {
                break;
            }
        }
        if (pos_ >= n) {
            set_kind(out, TokenKind::Eof, line_, col_);
            return true;
        }
        const uint64_t line = line_, col = col_;
        const char c = src_[pos_];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // Outside strings and comments, characters beyond ASCII are skipped.
            advance();
            continue;
        }
        ++pos_;
        ++col_;
        switch (c) {
            case '"':
            case '\'':
                set_kind(out, TokenKind::String, line, col);
                return quoted_string(c, out);
            case '/':
                if (next_is(0, '*')) {
                    advance();
                    if (!block_comment(line, col)) return false;
                    continue;
                }
                if (next_is(0, '/') && next_is(1, '/')) {
                    skip_line();
                    continue;
                }
                if (next_is(0, '/')) {
                    advance();
                    set_kind(out, TokenKind::SlashSlash, line, col);
                } else if (next_is(0, '=')) {
                    advance();
                    set_kind(out, TokenKind::SlashEq, line, col);
                } else {
                    set_kind(out, TokenKind::Slash, line, col);
                }
                return true;
            case '$':
                if (pos_ < n && is_quote(src_[pos_])) {
                    const char q = src_[pos_];
                    advance();
                    set_kind(out, TokenKind::FString, line, col);
                    return fstring(q, out);
                }
                continue;
            default:
                break;
        }
        if (is_digit(c)) {
            set_kind(out, TokenKind::Int, line, col);
            return number(c, out);
        }
        if (is_ident_start(c)) {
            if (pos_ < n && is_quote(src_[pos_])) {
                const char q = src_[pos_];
                if (c == 'f' || c == 'F') {
                    advance();
                    set_kind(out, TokenKind::FString, line, col);
                    return fstring(q, out);
                }
                if (c == 'r' || c == 'R') {
                    advance();
                    set_kind(out, TokenKind::String, line, col);
                    return raw_string(q, out);
                }
            }
            set_kind(out, TokenKind::Identifier, line, col);
            identifier(out);
            return true;
        }
        set_kind(out, TokenKind::Eof, line, col);
        if (operator_token(c, out)) return true;
        std::string msg = "Unexpected character: ";
        msg += c;
        return fail(std::move(msg));
    }
}

// Leaves the line feed for the main loop, which resets the column.
void Lexer::skip_line() {
    const void* nl = std::memchr(src_.data() + pos_, '\n', src_.size() - pos_);
    if (nl != nullptr) {
        pos_ = static_cast<size_t>(static_cast<const char*>(nl) - src_.data());
        return;
    }
    while (pos_ < src_.size()) advance();  // the Eof column counts what is skipped
}

// Comments nest: a counter, not recursion, tracks the depth.
bool Lexer::block_comment(uint64_t line, uint64_t col) {
    uint64_t depth = 1;
    while (pos_ < src_.size()) {
        if (next_is(0, '*') && next_is(1, '/')) {
            pos_ += 2;
            col_ += 2;
            if (--depth == 0) return true;
        } else if (next_is(0, '/') && next_is(1, '*')) {
            pos_ += 2;
            col_ += 2;
            ++depth;
        } else {
            advance();
        }
    }
    return fail("Unterminated block comment at " + std::to_string(line) + ":" + std::to_string(col));
}

void Lexer::identifier(Lexeme& out) {
    const size_t start = pos_ - 1;
    while (pos_ < src_.size() && kIdentChar[static_cast<unsigned char>(src_[pos_])]) ++pos_;
    col_ += pos_ - start - 1;
    const std::string_view word = src_.substr(start, pos_ - start);
    if (const Keyword* k = find_keyword(word)) {
        out.kind = k->kind;
        if (k->kind == TokenKind::Bool) {
            out.payload = 3;
            out.value.b = word == "true";
        }
        return;
    }
    out.payload = 4;
    out.text = word;
}

// number -> digits ('_'|digit)* ['.' digit ('_'|digit)*] [('e'|'E') ['+'|'-'] digit+]
//         | '0' ('b'|'o'|'x') ('_'|base digit)+
bool Lexer::number(char first, Lexeme& out) {
    if (first == '0' && pos_ < src_.size()) {
        switch (src_[pos_]) {
            case 'b': case 'B': return prefixed_integer(2, out);
            case 'o': case 'O': return prefixed_integer(8, out);
            case 'x': case 'X': return prefixed_integer(16, out);
            default: break;
        }
    }
    // Integer part: its value is accumulated directly (0 once it leaves int64)
    // and its digits are kept in case a fraction or exponent follows.
    buf_.assign(1, first);
    int64_t value = first - '0';
    bool overflow = false;
    auto take_digits = [&](bool underscores, bool accumulate) {
        while (pos_ < src_.size()) {
            const char c = src_[pos_];
            if (is_digit(c)) {
                buf_ += c;
                if (accumulate && !overflow &&
                    (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, c - '0', &value)))
                    overflow = true;
            } else if (!(underscores && c == '_')) {
                break;
            }
            ++pos_;
            ++col_;
        }
    };
    take_digits(true, true);
    bool is_float = false;
    if (next_is(0, '.') && !next_is(1, '.')) {
        advance();
        if (pos_ >= src_.size() || !is_digit(src_[pos_])) return fail_here("Expected digits after decimal point");
        buf_ += '.';
        take_digits(true, false);
        is_float = true;
    }
    if (next_is(0, 'e') || next_is(0, 'E')) {
        advance();
        buf_ += 'e';
        if (next_is(0, '+') || next_is(0, '-')) {
            buf_ += src_[pos_];
            advance();
        }
        if (pos_ >= src_.size() || !is_digit(src_[pos_]))
            return fail_here("Expected digits in scientific notation exponent");
        take_digits(false, false);
        is_float = true;
    }
    if (is_float) {
        out.kind = TokenKind::Float;
        out.payload = 2;
        out.value.d = decimal_text_to_double(buf_);
    } else {
        out.payload = 1;
        out.value.i = overflow ? 0 : value;
    }
    return true;
}

bool Lexer::prefixed_integer(int base, Lexeme& out) {
    advance();  // the b / o / x
    auto in_base = [base](char c) {
        if (c == '_') return true;
        if (base == 2) return c == '0' || c == '1';
        if (base == 8) return c >= '0' && c <= '7';
        return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    const size_t start = pos_;
    buf_.clear();
    while (pos_ < src_.size() && in_base(src_[pos_])) {
        if (src_[pos_] != '_') buf_ += src_[pos_];
        ++pos_;
        ++col_;
    }
    if (pos_ == start) {
        return fail_here(base == 2   ? "Expected binary digits after '0b'"
                         : base == 8 ? "Expected octal digits after '0o'"
                                     : "Expected hex digits after '0x'");
    }
    out.payload = 1;
    out.value.i = integer_or_zero(buf_, base);
    return true;
}

void Lexer::text_token(Lexeme& out, TokenKind kind, std::string_view view) {
    out.kind = kind;
    out.payload = 4;
    out.text = view;
}

void Lexer::stored_text_token(Lexeme& out, TokenKind kind) {
    text_token(out, kind, texts_->copy(buf_));
    out.stable = true;
}

// After the opening quote. A string without escapes whose characters are
// all well formed is its own source text; anything else is rebuilt.
bool Lexer::quoted_string(char q, Lexeme& out) {
    if (next_is(0, q) && next_is(1, q)) {
        pos_ += 2;
        col_ += 2;
        return triple_string(q, out);
    }
    const size_t start = pos_;
    const size_t n = src_.size();
    while (pos_ < n) {
        const auto b = static_cast<unsigned char>(src_[pos_]);
        if (b == static_cast<unsigned char>(q)) {
            text_token(out, TokenKind::String, src_.substr(start, pos_ - start));
            ++pos_;
            ++col_;
            return true;
        }
        if (b == '\\' || b == '\n') break;
        if (b < 0x80) {
            ++pos_;
            ++col_;
            continue;
        }
        const Utf8Char c = utf8_next(src_, pos_, Utf8Policy::ByteWise);
        if (!c.ok) break;
        pos_ += c.len;
        ++col_;
    }
    return escaped_string(q, start, out);
}

// The rest of a plain string from the first character that the text does
// not copy as it stands; `start` is where the text began.
bool Lexer::escaped_string(char q, size_t start, Lexeme& out) {
    buf_.assign(src_.substr(start, pos_ - start));
    for (;;) {
        const char32_t c = peek();
        if (c == kNone) return fail_here("Unterminated string literal");
        if (c == '\n') return fail_here("Unterminated string — newline inside string");
        advance();
        if (c == static_cast<char32_t>(q)) break;
        if (c != '\\') {
            utf8_append(buf_, c);
            continue;
        }
        const char32_t e = peek();
        if (e == kNone) return fail_here("Unterminated escape sequence");
        advance();
        switch (e) {
            case 'n': buf_ += '\n'; break;
            case 'r': buf_ += '\r'; break;
            case 't': buf_ += '\t'; break;
            case '0': buf_ += '\0'; break;
            case 'a': buf_ += '\a'; break;
            case 'b': buf_ += '\b'; break;
            case '\\': case '"': case '\'': buf_ += static_cast<char>(e); break;
            default: {
                std::string msg = "Unknown escape sequence: \\";
                utf8_append(msg, e);
                return fail(std::move(msg));
            }
        }
    }
    stored_text_token(out, TokenKind::String);
    return true;
}

// After the three opening quotes.
bool Lexer::triple_string(char q, Lexeme& out) {
    buf_.clear();
    for (;;) {
        const char32_t c = peek();
        if (c == kNone) return fail_here("Unterminated triple-quoted string");
        if (c == static_cast<char32_t>(q) && next_is(1, q) && next_is(2, q)) {
            pos_ += 3;
            col_ += 3;
            break;
        }
        advance();
        if (c != '\\') {
            utf8_append(buf_, c);
            continue;
        }
        const char32_t e = peek();
        if (e == kNone) return fail_here("Unterminated escape in triple-quoted string");
        advance();
        switch (e) {
            case 'n': buf_ += '\n'; break;
            case 'r': buf_ += '\r'; break;
            case 't': buf_ += '\t'; break;
            case '0': buf_ += '\0'; break;
            default: utf8_append(buf_, e); break;
        }
    }
    stored_text_token(out, TokenKind::String);
    return true;
}

// After the r / R and the opening quote.
bool Lexer::raw_string(char q, Lexeme& out) {
    buf_.clear();
    for (;;) {
        const char32_t c = peek();
        if (c == kNone) return fail_here("Unterminated raw string literal");
        if (c == '\n') return fail_here("Unterminated raw string — newline inside string");
        advance();
        if (c == static_cast<char32_t>(q)) break;
        utf8_append(buf_, c);
    }
    stored_text_token(out, TokenKind::String);
    return true;
}

// After the f / F / $ and the opening quote. The body is kept whole for
// the parser: "{{" becomes U+0000 '{' and "}}" becomes '}' U+0000 (the
// escaped-brace markers); inside braces everything, quotes and
// backslashes included, is copied through for the interpolation's lexer.
bool Lexer::fstring(char q, Lexeme& out) {
    buf_.clear();
    uint64_t depth = 0;
    for (;;) {
        const char32_t c = peek();
        if (c == kNone) return fail_here("Unterminated f-string");
        if (c == '\n') return fail_here("Unterminated f-string — newline inside string");
        advance();
        if (c == static_cast<char32_t>(q) && depth == 0) break;
        switch (c) {
            case '\\':
                if (depth > 0) {
                    buf_ += '\\';
                    if (peek() != kNone) {
                        utf8_append(buf_, peek());
                        advance();
                    }
                    break;
                }
                if (peek() == kNone) return fail_here("Unterminated escape in f-string");
                switch (const char32_t e = peek(); e) {
                    case 'n': buf_ += '\n'; break;
                    case 'r': buf_ += '\r'; break;
                    case 't': buf_ += '\t'; break;
                    default: utf8_append(buf_, e); break;
                }
                advance();
                break;
            case '{':
                if (depth == 0 && next_is(0, '{')) {
                    advance();
                    buf_ += '\0';
                    buf_ += '{';
                } else {
                    buf_ += '{';
                    ++depth;
                }
                break;
            case '}':
                if (depth == 0 && next_is(0, '}')) {
                    advance();
                    buf_ += '}';
                    buf_ += '\0';
                } else {
                    buf_ += '}';
                    if (depth > 0) --depth;
                }
                break;
            default:
                utf8_append(buf_, c);
                break;
        }
    }
    stored_text_token(out, TokenKind::FString);
    return true;
}

// Longest match, at most two characters beyond `c`. A byte beyond ASCII
// never matches, and the second look-ahead is only read after the first
// matched an ASCII character, so comparing bytes is comparing characters.
bool Lexer::operator_token(char c, Lexeme& out) {
    using K = TokenKind;
    const char n1 = pos_ < src_.size() ? src_[pos_] : '\0';
    const char n2 = pos_ + 1 < src_.size() ? src_[pos_ + 1] : '\0';
    K kind = K::Eof;
    int extra = 0;
    auto pick = [&](K k, int n) {
        kind = k;
        extra = n;
    };
    switch (c) {
        case '!': n1 == '=' ? pick(K::Neq, 1) : pick(K::Not, 0); break;
        case '%': n1 == '=' ? pick(K::PercentEq, 1) : pick(K::Percent, 0); break;
        case '&':
            if (n1 == '&') pick(K::And, 1);
            else if (n1 == '=') pick(K::AmpEq, 1);
            else pick(K::BitwiseAnd, 0);
            break;
        case '*':
            if (n1 == '*' && n2 == '=') pick(K::PowerEq, 2);
            else if (n1 == '*') pick(K::Power, 1);
            else if (n1 == '=') pick(K::StarEq, 1);
            else pick(K::Star, 0);
            break;
        case '+':
            if (n1 == '+') pick(K::PlusPlus, 1);
            else if (n1 == '=') pick(K::PlusEq, 1);
            else pick(K::Plus, 0);
            break;
        case '-':
            if (n1 == '=') pick(K::MinusEq, 1);
            else if (n1 == '>') pick(K::Arrow, 1);
            else pick(K::Minus, 0);
            break;
        case '.':
            if (n1 == '.' && n2 == '.') pick(K::Ellipsis, 2);
            else if (n1 == '.' && n2 == '=') pick(K::DotDotEq, 2);
            else if (n1 == '.') pick(K::DotDot, 1);
            else pick(K::Dot, 0);
            break;
        case ':': n1 == ':' ? pick(K::DoubleColon, 1) : pick(K::Colon, 0); break;
        case '<':
            if (n1 == '<' && n2 == '=') pick(K::LShiftEq, 2);
            else if (n1 == '<') pick(K::LeftShift, 1);
            else if (n1 == '=') pick(K::Lte, 1);
            else pick(K::Lt, 0);
            break;
        case '=':
            if (n1 == '=') pick(K::Eq, 1);
            else if (n1 == '>') pick(K::FatArrow, 1);
            else pick(K::Assign, 0);
            break;
        case '>':
            if (n1 == '=') pick(K::Gte, 1);
            else if (n1 == '>' && n2 == '=') pick(K::RShiftEq, 2);
            else if (n1 == '>') pick(K::RightShift, 1);
            else pick(K::Gt, 0);
            break;
        case '?':
            if (n1 == '.') pick(K::QuestionDot, 1);
            else if (n1 == '?' && n2 == '=') pick(K::NullishEq, 2);
            else if (n1 == '?') pick(K::Nullish, 1);
            else pick(K::Question, 0);
            break;
        case '^': n1 == '=' ? pick(K::CaretEq, 1) : pick(K::BitwiseXor, 0); break;
        case '|':
            if (n1 == '=') pick(K::PipeEq, 1);
            else if (n1 == '>') pick(K::PipeGt, 1);
            else if (n1 == '|') pick(K::Or, 1);
            else pick(K::BitwiseOr, 0);
            break;
        case '(': pick(K::LeftParen, 0); break;
        case ')': pick(K::RightParen, 0); break;
        case '{': pick(K::LeftBrace, 0); break;
        case '}': pick(K::RightBrace, 0); break;
        case '[': pick(K::LeftBracket, 0); break;
        case ']': pick(K::RightBracket, 0); break;
        case ',': pick(K::Comma, 0); break;
        case ';': pick(K::Semicolon, 0); break;
        case '@': pick(K::At, 0); break;
        case '~': pick(K::BitwiseNot, 0); break;
        default: return false;
    }
    pos_ += extra;
    col_ += extra;
    out.kind = kind;
    return true;
}

Result<std::vector<Token>> tokenize(std::string_view source) {
    Arena texts;
    Lexer lexer(source, texts);
    // Programs run at about one token per three to five bytes; growing the
    // list past its reserve moves every token.
    std::vector<Token> tokens;
    tokens.reserve(source.size() / 3 + 16);
    Lexeme t;
    for (;;) {
        if (!lexer.next(t)) return Err{lexer.error()};
        t.append_to(tokens);
        if (t.kind == TokenKind::Eof) return tokens;
    }
}

}  // namespace calvex
