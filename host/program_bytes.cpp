// Program <-> bytes. The reader is written for hostile input: it checks each
// read against the end, bounds every count by the bytes that remain, and
// accepts only known instruction and constant kinds.
#include "program_bytes.h"

#include <array>
#include <cstring>
#include <string_view>

namespace calvex {

namespace {

constexpr char kMagic[4] = {'C', 'V', 'X', 'P'};
constexpr size_t kHeader = 16;

enum class ConstTag : uint8_t { Nil = 0, False = 1, True = 2, Int = 3, Float = 4, String = 5 };

// ---- writing --------------------------------------------------------------------

struct Writer {
    std::vector<uint8_t> out;

    void byte(uint8_t b) { out.push_back(b); }
    void varint(uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    void zigzag(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
    void fixed(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void text(std::string_view s) {
        varint(s.size());
        out.insert(out.end(), s.begin(), s.end());
    }
    void unit(const Code& code, const LineTable& lines, const std::vector<Constant>& constants) {
        varint(code.size());
        for (const Instruction& in : code) {
            byte(static_cast<uint8_t>(in.op));
            if (in.op == Op::Push)
                zigzag(in.imm);
            else
                varint(in.operand);
        }
        varint(lines.size());
        for (uint64_t l : lines) varint(l);
        varint(constants.size());
        for (const Constant& c : constants) {
            switch (c.index()) {
                case 0: byte(static_cast<uint8_t>(ConstTag::Nil)); break;
                case 1: byte(static_cast<uint8_t>(std::get<bool>(c) ? ConstTag::True : ConstTag::False)); break;
                case 2:
                    byte(static_cast<uint8_t>(ConstTag::Int));
                    zigzag(std::get<int64_t>(c));
                    break;
                case 3: {
                    byte(static_cast<uint8_t>(ConstTag::Float));
                    uint64_t bits;
                    double d = std::get<double>(c);
                    std::memcpy(&bits, &d, sizeof bits);
                    fixed(bits, 8);
                    break;
                }
                default:
                    byte(static_cast<uint8_t>(ConstTag::String));
                    text(std::get<std::string>(c));
                    break;
            }
        }
    }
};

// ---- reading ----------------------------------------------------------------------

struct Reader {
    const uint8_t* p;
    const uint8_t* end;
    std::string error;

    size_t left() const { return static_cast<size_t>(end - p); }
    bool fail(std::string_view what) {
        if (error.empty()) error = std::string(what);
        return false;
    }
    bool byte(uint8_t& b) {
        if (p == end) return fail("truncated");
        b = *p++;
        return true;
    }
    bool varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b;
            if (!byte(b)) return false;
            if (shift == 63 && b > 1) return fail("integer out of range");
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return fail("integer out of range");
    }
    bool zigzag(int64_t& v) {
        uint64_t u;
        if (!varint(u)) return false;
        v = static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
        return true;
    }
    // A count of items that take at least `min_bytes` each.
    bool count(size_t& n, size_t min_bytes) {
        uint64_t v;
        if (!varint(v)) return false;
        if (v > left() / min_bytes) return fail("truncated");
        n = static_cast<size_t>(v);
        return true;
    }
    bool text(std::string& s) {
        size_t n;
        if (!count(n, 1)) return false;
        s.assign(reinterpret_cast<const char*>(p), n);
        p += n;
        return true;
    }
    bool unit(Code& code, LineTable& lines, std::vector<Constant>& constants) {
        size_t n;
        if (!count(n, 2)) return false;
        code.resize(n);
        for (Instruction& in : code) {
            uint8_t op;
            if (!byte(op)) return false;
            if (op >= kOpCount) return fail("unknown instruction");
            in.op = static_cast<Op>(op);
            if (in.op == Op::Push) {
                int64_t imm;
                if (!zigzag(imm)) return false;
                if (imm < INT32_MIN || imm > INT32_MAX) return fail("integer out of range");
                in.imm = static_cast<int32_t>(imm);
            } else if (!varint(in.operand)) {
                return false;
            }
        }
        if (!count(n, 1)) return false;
        lines.resize(n);
        for (uint64_t& l : lines)
            if (!varint(l)) return false;
        if (!count(n, 1)) return false;
        constants.resize(n);
        for (Constant& c : constants) {
            uint8_t tag;
            if (!byte(tag)) return false;
            switch (static_cast<ConstTag>(tag)) {
                case ConstTag::Nil: c = std::monostate{}; break;
                case ConstTag::False: c = false; break;
                case ConstTag::True: c = true; break;
                case ConstTag::Int: {
                    int64_t i;
                    if (!zigzag(i)) return false;
                    c = i;
                    break;
                }
                case ConstTag::Float: {
                    if (left() < 8) return fail("truncated");
                    uint64_t bits = 0;
                    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(p[i]) << (8 * i);
                    p += 8;
                    double d;
                    std::memcpy(&d, &bits, sizeof d);
                    c = d;
                    break;
                }
                case ConstTag::String: {
                    std::string s;
                    if (!text(s)) return false;
                    c = std::move(s);
                    break;
                }
                default: return fail("unknown constant kind");
            }
        }
        return true;
    }
};

uint64_t read_fixed(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

uint32_t crc32(std::span<const uint8_t> bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> program_to_bytes(const ProgramData& p) {
    Writer body;
    body.text(p.filename);
    const CompiledProgram& c = p.compiled;
    body.unit(c.code, c.lines, c.constants);
    body.varint(c.functions.size());
    for (const FunctionEntry& f : c.functions) {
        body.text(f.name);
        body.varint(f.param_count);
        body.unit(f.code, f.lines, f.constants);
    }
    Writer out;
    out.out.reserve(kHeader + body.out.size());
    out.out.insert(out.out.end(), kMagic, kMagic + 4);
    out.fixed(kProgramFormatVersion, 2);
    out.fixed(0, 2);
    out.fixed(body.out.size(), 4);
    out.fixed(crc32(body.out), 4);
    out.out.insert(out.out.end(), body.out.begin(), body.out.end());
    return std::move(out.out);
}

Result<ProgramData> program_from_bytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeader || std::memcmp(bytes.data(), kMagic, 4) != 0)
        return Err{std::string("not a serialised Calvex program")};
    uint64_t version = read_fixed(bytes.data() + 4, 2);
    if (version != kProgramFormatVersion)
        return Err{"unsupported program format version " + std::to_string(version) + " (this build reads " +
                   std::to_string(kProgramFormatVersion) + ")"};
    if (read_fixed(bytes.data() + 6, 2) != 0) return Err{std::string("unsupported program format flags")};
    uint64_t length = read_fixed(bytes.data() + 8, 4);
    std::span<const uint8_t> body = bytes.subspan(kHeader);
    if (length != body.size())
        return Err{std::string(length > body.size() ? "serialised program is truncated"
                                                     : "serialised program has trailing bytes")};
    if (crc32(body) != read_fixed(bytes.data() + 12, 4))
        return Err{std::string("serialised program is corrupted (checksum mismatch)")};

    Reader r{body.data(), body.data() + body.size(), {}};
    ProgramData p;
    CompiledProgram& c = p.compiled;
    bool ok = r.text(p.filename) && r.unit(c.code, c.lines, c.constants);
    size_t nfunctions = 0;
    ok = ok && r.count(nfunctions, 5);
    if (ok) c.functions.resize(nfunctions);
    for (size_t i = 0; ok && i < nfunctions; ++i) {
        FunctionEntry& f = c.functions[i];
        ok = r.text(f.name) && r.varint(f.param_count) && r.unit(f.code, f.lines, f.constants);
    }
    if (ok && r.p != r.end) ok = r.fail("trailing bytes");
    if (!ok) return Err{"serialised program is malformed (" + r.error + ")"};
    return p;
}

}  // namespace calvex
