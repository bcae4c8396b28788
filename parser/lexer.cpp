// Source text -> tokens. The source is decoded once into code points so that
// look-ahead is indexing and columns count code points.
#include "lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>
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

// Returned by peek() past the end; not a Unicode scalar value, so it never
// equals a source character (U+0000 is a legal source character).
constexpr char32_t kNone = 0x110000;

using Status = Result<Unit>;

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_alpha(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_start(char32_t c) { return is_alpha(c) || c == '_'; }
bool is_ident_char(char32_t c) { return is_ident_start(c) || is_digit(c); }
bool is_quote(char32_t c) { return c == '"' || c == '\''; }

// The host hands us valid UTF-8, but the parser also lexes interpolation
// texts it cut out itself; malformed bytes become U+FFFD rather than being
// trusted.
void decode_utf8(std::string_view s, std::vector<char32_t>& out) {
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const Utf8Char c = utf8_next(s, i, Utf8Policy::ByteWise);
        out.push_back(c.ok ? c.cp : 0xFFFD);
        i += c.len;
    }
}

struct Keyword {
    std::string_view word;
    TokenKind kind;
};

// Sorted by word for binary search. "true"/"false" map to Bool and get
// their payload from the word.
constexpr Keyword kKeywords[] = {
    {"_draw", TokenKind::OnNodeDraw},
    {"_ready", TokenKind::OnReady},
    {"_update", TokenKind::OnNodeUpdate},
    {"and", TokenKind::And},
    {"async", TokenKind::Async},
    {"await", TokenKind::Await},
    {"bool", TokenKind::BoolType},
    {"break", TokenKind::Break},
    {"case", TokenKind::Case},
    {"catch", TokenKind::Catch},
    {"class", TokenKind::Class},
    {"const", TokenKind::Const},
    {"continue", TokenKind::Continue},
    {"div", TokenKind::Div},
    {"else", TokenKind::Else},
    {"enum", TokenKind::Enum},
    {"false", TokenKind::Bool},
    {"finally", TokenKind::Finally},
    {"float", TokenKind::FloatType},
    {"fn", TokenKind::Fn},
    {"for", TokenKind::For},
    {"if", TokenKind::If},
    {"in", TokenKind::In},
    {"int", TokenKind::IntType},
    {"is", TokenKind::Is},
    {"let", TokenKind::Let},
    {"match", TokenKind::Switch},
    {"nil", TokenKind::Nil},
    {"not", TokenKind::Not},
    {"null", TokenKind::Null},
    {"on_draw", TokenKind::OnDraw},
    {"on_exit", TokenKind::OnExit},
    {"on_start", TokenKind::OnStart},
    {"on_update", TokenKind::OnUpdate},
    {"or", TokenKind::Or},
    {"return", TokenKind::Return},
    {"scene", TokenKind::Class},
    {"string", TokenKind::StringType},
    {"struct", TokenKind::Struct},
    {"throw", TokenKind::Throw},
    {"true", TokenKind::Bool},
    {"try", TokenKind::Try},
    {"void", TokenKind::VoidType},
    {"while", TokenKind::While},
    {"yield", TokenKind::Yield},
};

constexpr bool keywords_sorted() {
    for (size_t i = 1; i < std::size(kKeywords); ++i)
        if (!(kKeywords[i - 1].word < kKeywords[i].word)) return false;
    return true;
}
static_assert(keywords_sorted());

const Keyword* find_keyword(std::string_view word) {
    auto it = std::lower_bound(std::begin(kKeywords), std::end(kKeywords), word,
                               [](const Keyword& k, std::string_view w) { return k.word < w; });
    return it != std::end(kKeywords) && it->word == word ? it : nullptr;
}

// Digits only (no sign, no underscores) in `base`; a value beyond int64 is 0.
int64_t integer_or_zero(std::string_view digits, int base) {
    int64_t v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return 0;
    return v;
}

class Lexer {
public:
    explicit Lexer(std::string_view source) { decode_utf8(source, chars_); }

    Result<std::vector<Token>> run() {
        tokens_.reserve(chars_.size() / 8 + 1);
        while (pos_ < chars_.size()) {
            if (auto s = step(); !s) return Err{std::move(s.error())};
        }
        tokens_.push_back(Token{TokenKind::Eof, {}, line_, col_});
        return std::move(tokens_);
    }

private:
    std::vector<char32_t> chars_;
    size_t pos_ = 0;
    uint64_t line_ = 1;
    uint64_t col_ = 1;
    std::vector<Token> tokens_;

    char32_t peek(size_t ahead = 0) const {
        size_t i = pos_ + ahead;
        return i < chars_.size() ? chars_[i] : kNone;
    }

    // Precondition: pos_ < chars_.size().
    void advance() {
        if (chars_[pos_++] == '\n') {
            ++line_;
            col_ = 1;
        } else {
            ++col_;
        }
    }

    Err<std::string> located(std::string_view message) const {
        std::string s = "Lexer error at ";
        s += std::to_string(line_);
        s += ':';
        s += std::to_string(col_);
        s += ": ";
        s += message;
        return Err{std::move(s)};
    }

    void push(TokenKind kind, uint64_t line, uint64_t col, TokenPayload payload = {}) {
        tokens_.push_back(Token{kind, std::move(payload), line, col});
    }

    Status step() {
        char32_t c = chars_[pos_];
        uint64_t line = line_, col = col_;
        advance();
        switch (c) {
            case ' ':
            case '\t':
            case '\r':
            case '\n':
                return Unit{};
            case '"':
            case '\'':
                return quoted_string(c, line, col);
            case '#':
                skip_line();
                return Unit{};
            case '/':
                return slash(line, col);
            case '$':
                if (is_quote(peek())) {
                    char32_t q = peek();
                    advance();
                    return fstring(q, line, col);
                }
                return Unit{};
            default:
                break;
        }
        if (is_digit(c)) return number(c, line, col);
        if (is_ident_start(c)) {
            char32_t q = peek();
            if (is_quote(q) && (c == 'f' || c == 'F')) {
                advance();
                return fstring(q, line, col);
            }
            if (is_quote(q) && (c == 'r' || c == 'R')) {
                advance();
                return raw_string(q, line, col);
            }
            identifier(line, col);
            return Unit{};
        }
        if (c > 0x7F) return Unit{};
        if (operator_token(c, line, col)) return Unit{};
        std::string msg = "Unexpected character: ";
        utf8_append(msg, c);
        return Err{std::move(msg)};
    }

    // Leaves the line feed for the main loop.
    void skip_line() {
        while (pos_ < chars_.size() && chars_[pos_] != '\n') advance();
    }

    // "/*" block comment, "///" line comment, "//", "/=", "/".
    Status slash(uint64_t line, uint64_t col) {
        if (peek() == '*') {
            advance();
            return block_comment(line, col);
        }
        if (peek() == '/' && peek(1) == '/') {
            skip_line();
            return Unit{};
        }
        if (peek() == '/') {
            advance();
            push(TokenKind::SlashSlash, line, col);
        } else if (peek() == '=') {
            advance();
            push(TokenKind::SlashEq, line, col);
        } else {
            push(TokenKind::Slash, line, col);
        }
        return Unit{};
    }

    // Comments nest: a counter, not recursion, tracks the depth.
    Status block_comment(uint64_t line, uint64_t col) {
        uint64_t depth = 1;
        while (pos_ < chars_.size()) {
            if (peek() == '*' && peek(1) == '/') {
                advance();
                advance();
                if (--depth == 0) return Unit{};
            } else if (peek() == '/' && peek(1) == '*') {
                advance();
                advance();
                ++depth;
            } else {
                advance();
            }
        }
        return Err{"Unterminated block comment at " + std::to_string(line) + ":" +
                   std::to_string(col)};
    }

    void identifier(uint64_t line, uint64_t col) {
        size_t start = pos_ - 1;
        while (is_ident_char(peek())) advance();
        std::string word;
        word.reserve(pos_ - start);
        for (size_t i = start; i < pos_; ++i) word += static_cast<char>(chars_[i]);
        if (const Keyword* k = find_keyword(word)) {
            if (k->kind == TokenKind::Bool)
                push(TokenKind::Bool, line, col, word == "true");
            else
                push(k->kind, line, col);
            return;
        }
        push(TokenKind::Identifier, line, col, std::move(word));
    }

    // number -> digits ('_'|digit)* ['.' digit ('_'|digit)*] [('e'|'E') ['+'|'-'] digit+]
    //         | '0' ('b'|'o'|'x') ('_'|base digit)+
    Status number(char32_t first, uint64_t line, uint64_t col) {
        if (first == '0') {
            switch (peek()) {
                case 'b': case 'B': return prefixed_integer(2, line, col);
                case 'o': case 'O': return prefixed_integer(8, line, col);
                case 'x': case 'X': return prefixed_integer(16, line, col);
                default: break;
            }
        }
        std::string text(1, static_cast<char>(first));
        auto take_digits = [&](bool underscores) {
            for (char32_t c = peek(); is_digit(c) || (underscores && c == '_'); c = peek()) {
                if (c != '_') text += static_cast<char>(c);
                advance();
            }
        };
        take_digits(true);
        bool is_float = false;
        if (peek() == '.' && peek(1) != '.') {
            advance();
            if (!is_digit(peek())) return located("Expected digits after decimal point");
            text += '.';
            take_digits(true);
            is_float = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            advance();
            text += 'e';
            if (peek() == '+' || peek() == '-') {
                text += static_cast<char>(peek());
                advance();
            }
            if (!is_digit(peek())) return located("Expected digits in scientific notation exponent");
            take_digits(false);
            is_float = true;
        }
        if (is_float)
            push(TokenKind::Float, line, col, decimal_text_to_double(text));
        else
            push(TokenKind::Int, line, col, integer_or_zero(text, 10));
        return Unit{};
    }

    Status prefixed_integer(int base, uint64_t line, uint64_t col) {
        advance();  // the b / o / x
        auto in_base = [base](char32_t c) {
            if (c == '_') return true;
            if (base == 2) return c == '0' || c == '1';
            if (base == 8) return c >= '0' && c <= '7';
            return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        };
        size_t start = pos_;
        std::string digits;
        while (in_base(peek())) {
            if (peek() != '_') digits += static_cast<char>(peek());
            advance();
        }
        if (pos_ == start) {
            return located(base == 2   ? "Expected binary digits after '0b'"
                           : base == 8 ? "Expected octal digits after '0o'"
                                       : "Expected hex digits after '0x'");
        }
        push(TokenKind::Int, line, col, integer_or_zero(digits, base));
        return Unit{};
    }

    // After the opening quote.
    Status quoted_string(char32_t q, uint64_t line, uint64_t col) {
        if (peek() == q && peek(1) == q) {
            advance();
            advance();
            return triple_string(q, line, col);
        }
        std::string text;
        for (;;) {
            char32_t c = peek();
            if (c == kNone) return located("Unterminated string literal");
            if (c == '\n') return located("Unterminated string — newline inside string");
            advance();
            if (c == q) break;
            if (c != '\\') {
                utf8_append(text, c);
                continue;
            }
            char32_t e = peek();
            if (e == kNone) return located("Unterminated escape sequence");
            advance();
            switch (e) {
                case 'n': text += '\n'; break;
                case 'r': text += '\r'; break;
                case 't': text += '\t'; break;
                case '0': text += '\0'; break;
                case 'a': text += '\a'; break;
                case 'b': text += '\b'; break;
                case '\\': case '"': case '\'': text += static_cast<char>(e); break;
                default: {
                    std::string msg = "Unknown escape sequence: \\";
                    utf8_append(msg, e);
                    return Err{std::move(msg)};
                }
            }
        }
        push(TokenKind::String, line, col, std::move(text));
        return Unit{};
    }

    // After the three opening quotes.
    Status triple_string(char32_t q, uint64_t line, uint64_t col) {
        std::string text;
        for (;;) {
            char32_t c = peek();
            if (c == kNone) return located("Unterminated triple-quoted string");
            if (c == q && peek(1) == q && peek(2) == q) {
                advance();
                advance();
                advance();
                break;
            }
            advance();
            if (c != '\\') {
                utf8_append(text, c);
                continue;
            }
            char32_t e = peek();
            if (e == kNone) return located("Unterminated escape in triple-quoted string");
            advance();
            switch (e) {
                case 'n': text += '\n'; break;
                case 'r': text += '\r'; break;
                case 't': text += '\t'; break;
                case '0': text += '\0'; break;
                default: utf8_append(text, e); break;
            }
        }
        push(TokenKind::String, line, col, std::move(text));
        return Unit{};
    }

    // After the r / R and the opening quote.
    Status raw_string(char32_t q, uint64_t line, uint64_t col) {
        std::string text;
        for (;;) {
            char32_t c = peek();
            if (c == kNone) return located("Unterminated raw string literal");
            if (c == '\n') return located("Unterminated raw string — newline inside string");
            advance();
            if (c == q) break;
            utf8_append(text, c);
        }
        push(TokenKind::String, line, col, std::move(text));
        return Unit{};
    }

    // After the f / F / $ and the opening quote. The body is kept whole for
    // the parser: "{{" becomes U+0000 '{' and "}}" becomes '}' U+0000 (the
    // escaped-brace markers); inside braces everything, quotes and
    // backslashes included, is copied through for the interpolation's lexer.
    Status fstring(char32_t q, uint64_t line, uint64_t col) {
        std::string text;
        uint64_t depth = 0;
        for (;;) {
            char32_t c = peek();
            if (c == kNone) return located("Unterminated f-string");
            if (c == '\n') return located("Unterminated f-string — newline inside string");
            advance();
            if (c == q && depth == 0) break;
            switch (c) {
                case '\\':
                    if (depth > 0) {
                        text += '\\';
                        if (peek() != kNone) {
                            utf8_append(text, peek());
                            advance();
                        }
                        break;
                    }
                    if (peek() == kNone) return located("Unterminated escape in f-string");
                    switch (char32_t e = peek(); e) {
                        case 'n': text += '\n'; break;
                        case 'r': text += '\r'; break;
                        case 't': text += '\t'; break;
                        default: utf8_append(text, e); break;
                    }
                    advance();
                    break;
                case '{':
                    if (depth == 0 && peek() == '{') {
                        advance();
                        text += '\0';
                        text += '{';
                    } else {
                        text += '{';
                        ++depth;
                    }
                    break;
                case '}':
                    if (depth == 0 && peek() == '}') {
                        advance();
                        text += '}';
                        text += '\0';
                    } else {
                        text += '}';
                        if (depth > 0) --depth;
                    }
                    break;
                default:
                    utf8_append(text, c);
                    break;
            }
        }
        push(TokenKind::FString, line, col, std::move(text));
        return Unit{};
    }

    // Longest match, at most two characters beyond `c`.
    bool operator_token(char32_t c, uint64_t line, uint64_t col) {
        using K = TokenKind;
        const char32_t n1 = peek(), n2 = peek(1);
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
        for (int i = 0; i < extra; ++i) advance();
        push(kind, line, col);
        return true;
    }
};

}  // namespace

Result<std::vector<Token>> tokenize(std::string_view source) {
    Lexer lexer(source);
    return lexer.run();
}

}  // namespace calvex
