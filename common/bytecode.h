// Instructions, compiled programs and the two external encodings.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace calvex {

enum class Op : uint8_t {
#define OP(name, byte, summary) name,
#include "opcodes.def"
#undef OP
};

inline constexpr int kOpCount = 0
#define OP(name, byte, summary) +1
#include "opcodes.def"
#undef OP
    ;
static_assert(kOpCount == 53, "the instruction set has 53 kinds");

// Name of a kind, e.g. "JumpIfFalse".
const char* op_name(Op op);
// Load-encoding byte of a kind, or -1 when it has none.
int op_byte(Op op);
// The number `compile` reports for a kind.
int op_summary(Op op);

inline bool is_jump(Op op) { return op == Op::Jump || op == Op::JumpIfFalse || op == Op::JumpIfTrue; }

// One instruction. `imm` is used by Push only; `operand` by every other kind
// that takes one (jump target, count, register, constant index).
struct Instruction {
    Op op = Op::Nop;
    int32_t imm = 0;
    uint64_t operand = 0;

    static Instruction push(int32_t v) { return {Op::Push, v, 0}; }
    static Instruction make(Op op, uint64_t operand = 0) { return {op, 0, operand}; }
    bool operator==(const Instruction&) const = default;
};

using Code = std::vector<Instruction>;
using LineTable = std::vector<uint64_t>;

// A constant as the compiler produces it; the machine turns these into values.
using Constant = std::variant<std::monostate, bool, int64_t, double, std::string>;

struct FunctionEntry {
    std::string name;
    Code code;
    std::vector<Constant> constants;
    LineTable lines;
    uint64_t param_count = 0;
};

struct CompiledProgram {
    Code code;
    LineTable lines;
    std::vector<Constant> constants;
    std::vector<FunctionEntry> functions;
};

// Byte stream -> instructions (unknown bytes are skipped, nothing appended).
Code decode_bytes(std::span<const uint8_t> bytes);
// Instructions -> byte stream (kinds without a byte become 0xFE).
std::vector<uint8_t> encode_bytes(const Code& code);
// First list of `compile`: one summary number per instruction.
std::vector<int> summarize_code(const Code& code);
// Second list of `compile`: the constant pool serialised as bytes.
std::vector<uint8_t> serialize_constants(const std::vector<Constant>& constants);

}  // namespace calvex
