// Instructions, compiled programs and the two external encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace calvex {

enum class Op : uint8_t {
#define OP(name, ...) name,
#include "opcodes.def"
#undef OP
};

inline constexpr int kOpCount = 0
#define OP(...) +1
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

// What an instruction's operand names (opcodes.def).
enum class Operand : uint8_t { None, Imm, Target, Count, Reg, Const, Global };
// How control leaves an instruction (opcodes.def).
enum class Flow : uint8_t { Next, Jump, Branch, Stop };

namespace op_table {
inline constexpr Operand kOperand[] = {
#define OP(name, byte, summary, pops, pushes, operand, flow) Operand::operand,
#include "opcodes.def"
#undef OP
};
inline constexpr Flow kFlow[] = {
#define OP(name, byte, summary, pops, pushes, operand, flow) Flow::flow,
#include "opcodes.def"
#undef OP
};
inline constexpr uint8_t kPushes[] = {
#define OP(name, byte, summary, pops, pushes, operand, flow) pushes,
#include "opcodes.def"
#undef OP
};
}  // namespace op_table

constexpr Operand op_operand(Op op) { return op_table::kOperand[static_cast<size_t>(op)]; }
constexpr Flow op_flow(Op op) { return op_table::kFlow[static_cast<size_t>(op)]; }
// True for the kinds whose `operand` field means something (not Push: its
// value is `imm`).
constexpr bool op_has_operand(Op op) { return op_operand(op) != Operand::None && op_operand(op) != Operand::Imm; }
constexpr bool is_jump(Op op) { return op_operand(op) == Operand::Target; }
// Values an instruction pushes, and pops given its operand (saturating: a
// count beyond the address space means "all of them").
constexpr unsigned op_pushes(Op op) { return op_table::kPushes[static_cast<size_t>(op)]; }
constexpr uint64_t op_pops(Op op, uint64_t operand) {
    const unsigned __int128 n = operand;
    unsigned __int128 r = 0;
    switch (op) {
#define OP(name, byte, summary, pops, pushes, operand, flow) \
    case Op::name: r = (pops); break;
#include "opcodes.def"
#undef OP
    }
    return r > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(r);
}

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
