#include "bytecode.h"

#include <array>
#include <bit>
#include <cstring>

namespace calvex {

namespace {
struct OpInfo {
    const char* name;
    int byte;
    int summary;
};
constexpr OpInfo kOps[] = {
#define OP(name, byte, summary, ...) {#name, byte, summary},
#include "opcodes.def"
#undef OP
};

// Kind for each load byte, or -1.
constexpr std::array<int16_t, 256> kDecode = [] {
    std::array<int16_t, 256> t{};
    for (auto& e : t) e = -1;
    for (int k = 0; k < kOpCount; ++k)
        if (kOps[k].byte >= 0) t[static_cast<size_t>(kOps[k].byte)] = static_cast<int16_t>(k);
    return t;
}();

// The accepted bytes, stated as the decoder's mask over (byte + 1) mod 256.
constexpr uint64_t kByteMask = 0xE007E007E03FFull;
constexpr bool accepted(uint8_t b) {
    unsigned k = (b + 1u) & 0xFFu;
    return k < 52 && ((kByteMask >> k) & 1u);
}
static_assert([] {
    for (int b = 0; b < 256; ++b)
        if (accepted(static_cast<uint8_t>(b)) != (kDecode[static_cast<size_t>(b)] >= 0)) return false;
    return true;
}(), "the byte table and the decoder mask disagree");

void put_le(std::vector<uint8_t>& out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

const char* op_name(Op op) { return kOps[static_cast<size_t>(op)].name; }
int op_byte(Op op) { return kOps[static_cast<size_t>(op)].byte; }
int op_summary(Op op) { return kOps[static_cast<size_t>(op)].summary; }

Code decode_bytes(std::span<const uint8_t> bytes) {
    Code code;
    code.reserve(bytes.size());
    for (uint8_t b : bytes)
        if (accepted(b)) code.push_back(Instruction::make(static_cast<Op>(kDecode[b])));
    return code;
}

std::vector<uint8_t> encode_bytes(const Code& code) {
    std::vector<uint8_t> out;
    out.reserve(code.size());
    for (const auto& ins : code) {
        int b = op_byte(ins.op);
        out.push_back(b < 0 ? 0xFE : static_cast<uint8_t>(b));
    }
    return out;
}

std::vector<int> summarize_code(const Code& code) {
    std::vector<int> out;
    out.reserve(code.size());
    for (const auto& ins : code) out.push_back(op_summary(ins.op));
    return out;
}

std::vector<uint8_t> serialize_constants(const std::vector<Constant>& constants) {
    std::vector<uint8_t> out;
    for (const auto& c : constants) {
        switch (c.index()) {
            case 0: out.push_back(0); break;
            case 1: out.push_back(1); out.push_back(std::get<bool>(c) ? 1 : 0); break;
            case 2: out.push_back(2); put_le(out, static_cast<uint64_t>(std::get<int64_t>(c)), 8); break;
            case 3: out.push_back(3); put_le(out, std::bit_cast<uint64_t>(std::get<double>(c)), 8); break;
            case 4: {
                const auto& s = std::get<std::string>(c);
                out.push_back(4);
                put_le(out, static_cast<uint32_t>(s.size()), 4);
                out.insert(out.end(), s.begin(), s.end());
                break;
            }
        }
    }
    return out;
}

}  // namespace calvex
