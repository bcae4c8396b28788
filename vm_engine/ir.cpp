// LLVM IR text for a named instruction sequence: one module, one function,
// every value an i64 word (48-bit payload, 16-bit tag).
//
// The emitter walks the instructions once over a symbolic operand stack of
// register numbers. Control flow is a straight chain of blocks: `entry`, then
// one fall-through block per conditional branch, labelled with the number the
// next register would take. Branch targets name instruction indexes as
// "L<index>"; a target that no chain block defines gets a stub block after the
// body that returns the nil word (the code is never run, it only has to be
// valid).
//
// Trap: target labels and fall-through labels share the "L<number>" space, so
// a branch whose target number equals a fall-through label lands inside the
// chain, and every register must still dominate its uses:
//  - A forward skip (landing past its own fall-through block) bypasses the
//    blocks in between; it is kept only when no register defined in them is
//    used at or after the landing block.
//  - A back edge on its own is harmless (every path to a later block still
//    runs through each earlier one), but behind a kept skip it can reach the
//    skipped blocks from the far side: entry skips to L17, L17 branches back
//    to L8, and L8 reads a register of the skipped L4. A back edge landing on
//    block x is kept unless some kept skip from block s over x (s + 2 <= x
//    and x before the landing) passes a block of s + 1 .. x - 1 whose
//    registers are used at x or later.
// Together: a path that reaches a use without its definition d must skip
// over d, landing past every use of d, and then come back down into the
// skip's span onto a block at or before the use, which the second rule
// forbids. A branch that breaks a rule targets "T<index>" instead, a stub of
// its own; every other line keeps its text.
#include "ir.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <queue>
#include <set>
#include <span>
#include <utility>
#include <vector>

namespace calvex {

namespace {

constexpr std::string_view kFloatTag = "281474976710656";
constexpr std::string_view kBoolTag = "562949953421312";
constexpr std::string_view kNil = "844424930131968";
constexpr uint64_t kPayload = 281474976710655ull;

constexpr std::string_view kHelperDecls =
    "declare i64 @__calvex_pow(i64, i64)\n"
    "declare void @__calvex_store_reg(i64, i64)\n"
    "declare i64 @__calvex_load_reg(i64)\n"
    "declare i64 @__calvex_load_global(i64)\n"
    "declare void @__calvex_store_global(i64, i64)\n"
    "declare i64 @__calvex_collection_op(i64)\n"
    "declare i64 @__calvex_call(i64, i64)\n";
constexpr std::string_view kLoadConstDecl = "declare i64 @__calvex_load_const(i64)\n";

class IrEmitter {
public:
    void lower(const Instruction& ins);
    bool terminated() const { return terminated_; }
    void finish();
    std::string module(std::string_view name) const;

private:
    // One filler of a "{}" in a line template.
    struct Arg {
        enum Kind { Reg, U64, I64, Text } kind;
        uint64_t u = 0;
        int64_t i = 0;
        std::string_view text = {};
    };
    static Arg reg(uint64_t r) { return {Arg::Reg, r}; }
    static Arg u64(uint64_t v) { return {Arg::U64, v}; }
    static Arg i64(int64_t v) { return {Arg::I64, 0, v}; }
    static Arg text(std::string_view t) { return {Arg::Text, 0, 0, t}; }

    struct BranchRef {
        size_t offset;  // position of the 'L' of the target label in body_
        uint64_t target;
        size_t block;   // chain block holding the branch
    };

    std::vector<uint64_t> stack_;  // register numbers
    std::string body_;
    std::string stubs_;
    uint64_t next_ = 0;
    bool terminated_ = false;
    bool helpers_ = false;
    bool load_const_ = false;

    // Chain blocks: 0 is entry, block b > 0 is labelled fallthrough_[b - 1].
    size_t block_ = 0;
    std::vector<uint64_t> fallthrough_;   // strictly increasing
    std::vector<size_t> def_block_;       // per register: the block defining it
    std::vector<size_t> last_use_ = {0};  // per block: last block using one of its registers
    std::vector<BranchRef> branches_;
    std::vector<std::vector<size_t>> sparse_;  // range maxima of last_use_, built on demand

    void put(Arg a);
    // Writes one body line: `tmpl` with each "{}" filled by the next arg.
    void line(std::string_view tmpl, std::span<const Arg> args);
    void line(std::string_view tmpl, std::initializer_list<Arg> args) { line(tmpl, std::span(args.begin(), args.size())); }
    // Takes a new register R and writes `tmpl` filled with R and then `args`.
    uint64_t assign(std::string_view tmpl, std::initializer_list<Arg> args);
    uint64_t mask(uint64_t r) { return assign("{} = and i64 {}, 281474976710655", {reg(r)}); }

    bool pop(uint64_t& r) {
        if (stack_.empty()) return false;
        r = stack_.back();
        stack_.pop_back();
        return true;
    }
    void drop(uint64_t count) { stack_.resize(count < stack_.size() ? stack_.size() - count : 0); }
    // Pops b, then a; on a short stack pops what is there and fails.
    bool pop_pair(uint64_t& a, uint64_t& b) {
        if (stack_.size() < 2) {
            stack_.clear();
            return false;
        }
        b = stack_.back();
        a = stack_[stack_.size() - 2];
        drop(2);
        return true;
    }

    void int_binary(std::string_view op);
    void division();
    void comparison(std::string_view pred);
    void logical(std::string_view op);
    void conditional_branch(std::string_view test, uint64_t target);
    void helper_call(std::string_view tmpl, uint64_t operand);
    void store(std::string_view tmpl, uint64_t operand);
    void ret(std::string_view suffix);
    bool skips_used_definition(size_t from, size_t to);
};

void IrEmitter::put(Arg a) {
    char buf[24];
    switch (a.kind) {
        case Arg::Reg: {
            size_t& last = last_use_[def_block_[a.u]];
            last = std::max(last, block_);
            body_ += "%v";
            [[fallthrough]];
        }
        case Arg::U64: body_.append(buf, std::to_chars(buf, buf + sizeof buf, a.u).ptr); break;
        case Arg::I64: body_.append(buf, std::to_chars(buf, buf + sizeof buf, a.i).ptr); break;
        case Arg::Text: body_ += a.text; break;
    }
}

void IrEmitter::line(std::string_view tmpl, std::span<const Arg> args) {
    body_ += "  ";
    size_t pos = 0, k = 0;
    for (size_t hole; (hole = tmpl.find("{}", pos)) != std::string_view::npos; pos = hole + 2) {
        body_ += tmpl.substr(pos, hole - pos);
        put(args[k++]);
    }
    body_ += tmpl.substr(pos);
    body_ += '\n';
}

uint64_t IrEmitter::assign(std::string_view tmpl, std::initializer_list<Arg> args) {
    const uint64_t r = next_++;
    def_block_.push_back(block_);
    Arg all[4] = {reg(r)};
    std::copy(args.begin(), args.end(), all + 1);
    line(tmpl, std::span(all, args.size() + 1));
    return r;
}

// pop B, pop A; mask both, truncate to i32, operate, widen back.
void IrEmitter::int_binary(std::string_view op) {
    uint64_t a, b;
    if (!pop_pair(a, b)) return;
    const uint64_t r1 = assign("{} = and i64 {}, 281474976710655  ; 0xFFFFFFFFFFFF", {reg(a)});
    const uint64_t r2 = mask(b);
    const uint64_t r3 = assign("{} = trunc i64 {} to i32", {reg(r1)});
    const uint64_t r4 = assign("{} = trunc i64 {} to i32", {reg(r2)});
    const uint64_t r5 = assign("{} = {} i32 {}, {}", {text(op), reg(r3), reg(r4)});
    stack_.push_back(assign("{} = zext i32 {} to i64", {reg(r5)}));
}

void IrEmitter::division() {
    uint64_t a, b;
    if (!pop_pair(a, b)) return;
    const uint64_t r1 = mask(a);
    const uint64_t r2 = mask(b);
    const uint64_t r3 = assign("{} = sitofp i64 {} to double", {reg(r1)});
    const uint64_t r4 = assign("{} = sitofp i64 {} to double", {reg(r2)});
    const uint64_t r5 = assign("{} = fdiv double {}, {}", {reg(r3), reg(r4)});
    const uint64_t r6 = assign("{} = bitcast double {} to i64", {reg(r5)});
    stack_.push_back(assign("{} = or i64 {}, {}", {reg(r6), text(kFloatTag)}));
}

void IrEmitter::comparison(std::string_view pred) {
    uint64_t a, b;
    if (!pop_pair(a, b)) return;
    const uint64_t r1 = mask(a);
    const uint64_t r2 = mask(b);
    const uint64_t r3 = assign("{} = icmp {} i64 {}, {}", {text(pred), reg(r1), reg(r2)});
    const uint64_t r4 = assign("{} = zext i1 {} to i64", {reg(r3)});
    stack_.push_back(assign("{} = or i64 {}, {}", {reg(r4), text(kBoolTag)}));
}

void IrEmitter::logical(std::string_view op) {
    uint64_t a, b;
    if (!pop_pair(a, b)) return;
    const uint64_t r1 = mask(a);
    const uint64_t r2 = mask(b);
    const uint64_t r3 = assign("{} = icmp ne i64 {}, 0", {reg(r1)});
    const uint64_t r4 = assign("{} = icmp ne i64 {}, 0", {reg(r2)});
    const uint64_t r5 = assign("{} = {} i1 {}, {}", {text(op), reg(r3), reg(r4)});
    const uint64_t r6 = assign("{} = zext i1 {} to i64", {reg(r5)});
    stack_.push_back(assign("{} = or i64 {}, {}", {reg(r6), text(kBoolTag)}));
}

void IrEmitter::conditional_branch(std::string_view test, uint64_t target) {
    uint64_t c;
    if (!pop(c)) return;
    const uint64_t r1 = mask(c);
    const uint64_t r2 = assign(test, {reg(r1)});
    const uint64_t k = next_;  // the fall-through label shares the next register's number
    body_ += "  br i1 ";
    put(reg(r2));
    body_ += ", label %";
    branches_.push_back({body_.size(), target, block_});
    body_ += 'L';
    put(u64(target));
    body_ += ", label %L";
    put(u64(k));
    body_ += "\nL";
    put(u64(k));
    body_ += ":\n";
    fallthrough_.push_back(k);
    last_use_.push_back(++block_);
}

void IrEmitter::helper_call(std::string_view tmpl, uint64_t operand) {
    helpers_ = true;
    stack_.push_back(assign(tmpl, {u64(operand)}));
}

void IrEmitter::store(std::string_view tmpl, uint64_t operand) {
    helpers_ = true;
    uint64_t v;
    if (pop(v)) line(tmpl, {u64(operand), reg(v)});
}

void IrEmitter::ret(std::string_view suffix) {
    uint64_t v;
    body_ += "  ret i64 ";
    if (pop(v)) put(reg(v));
    else body_ += kNil;
    body_ += suffix;
    body_ += '\n';
    terminated_ = true;
}

void IrEmitter::lower(const Instruction& ins) {
    const uint64_t n = ins.operand;
    switch (ins.op) {
        case Op::Push: {
            const uint64_t word = static_cast<uint64_t>(static_cast<int64_t>(ins.imm)) & kPayload;
            stack_.push_back(assign("{} = add i64 0, {}  ; Push({})", {u64(word), i64(ins.imm)}));
            break;
        }
        case Op::Pop: drop(1); break;
        case Op::Dup: if (!stack_.empty()) stack_.push_back(stack_.back()); break;
        case Op::Swap:
            if (stack_.size() >= 2) std::swap(stack_[stack_.size() - 1], stack_[stack_.size() - 2]);
            break;
        case Op::Add: case Op::AddInt: case Op::AddFloat: int_binary("add nsw"); break;
        case Op::Sub: case Op::SubInt: case Op::SubFloat: int_binary("sub nsw"); break;
        case Op::Mul: case Op::MulInt: case Op::MulFloat: int_binary("mul nsw"); break;
        case Op::Mod: case Op::ModInt: case Op::ModFloat: int_binary("srem"); break;
        case Op::Div: case Op::DivFloat: division(); break;
        case Op::Pow: {
            helpers_ = true;  // also on a short stack
            uint64_t a, b;
            if (pop_pair(a, b)) stack_.push_back(assign("{} = call i64 @__calvex_pow(i64 {}, i64 {})", {reg(a), reg(b)}));
            break;
        }
        case Op::Neg: {
            uint64_t a;
            if (!pop(a)) break;
            const uint64_t r1 = mask(a);
            stack_.push_back(assign("{} = sub i64 0, {}", {reg(r1)}));
            break;
        }
        case Op::Eq: case Op::EqInt: case Op::EqFloat: comparison("eq"); break;
        case Op::Ne: comparison("ne"); break;
        case Op::Lt: case Op::LtInt: case Op::LtFloat: comparison("slt"); break;
        case Op::Le: comparison("sle"); break;
        case Op::Gt: comparison("sgt"); break;
        case Op::Ge: comparison("sge"); break;
        case Op::And: logical("and"); break;
        case Op::Or: logical("or"); break;
        case Op::Not: {
            uint64_t a;
            if (!pop(a)) break;
            const uint64_t r1 = mask(a);
            const uint64_t r2 = assign("{} = icmp eq i64 {}, 0", {reg(r1)});
            const uint64_t r3 = assign("{} = zext i1 {} to i64", {reg(r2)});
            stack_.push_back(assign("{} = or i64 {}, {}", {reg(r3), text(kBoolTag)}));
            break;
        }
        case Op::Jump:
            body_ += "  br label %";
            branches_.push_back({body_.size(), n, block_});
            body_ += 'L';
            put(u64(n));
            body_ += '\n';
            terminated_ = true;
            break;
        case Op::JumpIfFalse: conditional_branch("{} = icmp eq i64 {}, 0", n); break;
        case Op::JumpIfTrue: conditional_branch("{} = icmp ne i64 {}, 0", n); break;
        case Op::LoadLocal: helper_call("{} = call i64 @__calvex_load_reg(i64 {})", n); break;
        case Op::StoreLocal: store("call void @__calvex_store_reg(i64 {}, i64 {})", n); break;
        case Op::LoadGlobal: helper_call("{} = call i64 @__calvex_load_global(i64 {})", n); break;
        case Op::StoreGlobal: store("call void @__calvex_store_global(i64 {}, i64 {})", n); break;
        case Op::LoadConst:
            helpers_ = true;
            load_const_ = true;
            stack_.push_back(assign("{} = call i64 @__calvex_load_const(i64 {})  ; LoadConst({})", {u64(n), u64(n)}));
            break;
        case Op::Call: {
            helpers_ = true;
            drop(n);  // the arguments
            uint64_t f;
            const bool callee = pop(f);
            stack_.push_back(assign("{} = call i64 @__calvex_call(i64 {}, i64 {})", {callee ? reg(f) : text("0"), u64(n)}));
            break;
        }
        case Op::MakeArray: case Op::MakeObject: case Op::GetIndex: case Op::SetIndex:
        case Op::Concat: case Op::Len: case Op::IterInit: case Op::IterNext:
            helpers_ = true;
            stack_.push_back(assign("{} = call i64 @__calvex_collection_op(i64 {})", {u64(next_ + 1)}));
            break;
        case Op::Return: ret(""); break;
        case Op::Halt: ret("  ; Halt"); break;
        case Op::Nop: break;
    }
}

// Range maximum of last_use_ over the blocks strictly between `from` and `to`
// (a sparse table: the chain may hold many branches).
bool IrEmitter::skips_used_definition(size_t from, size_t to) {
    if (to <= from + 1) return false;
    if (sparse_.empty()) {
        sparse_.push_back(last_use_);
        for (size_t w = 1; 2 * w <= last_use_.size(); w *= 2) {
            const auto& prev = sparse_.back();
            std::vector<size_t> next(prev.size() - w);
            for (size_t k = 0; k < next.size(); ++k) next[k] = std::max(prev[k], prev[k + w]);
            sparse_.push_back(std::move(next));
        }
    }
    const size_t lo = from + 1;
    const size_t level = static_cast<size_t>(std::bit_width(to - lo) - 1);
    const size_t w = size_t{1} << level;
    return std::max(sparse_[level][lo], sparse_[level][to - w]) >= to;
}

// Closes the body and defines the block of every branch target that the
// chain itself does not define, in the order of first reference.
void IrEmitter::finish() {
    if (!terminated_) ret("");
    // Per branch: the chain block its label lands on, kNoBlock when the label
    // names no chain block (an "L" stub), kOwnStub when it must not land there.
    constexpr size_t kNoBlock = 0;  // block 0 is entry, which no label names
    constexpr size_t kOwnStub = SIZE_MAX;
    std::vector<size_t> landing(branches_.size(), kNoBlock);
    std::vector<std::pair<size_t, size_t>> skips;  // kept forward skips (from, to)
    for (size_t k = 0; k < branches_.size(); ++k) {
        const BranchRef& b = branches_[k];
        const auto hit = std::lower_bound(fallthrough_.begin(), fallthrough_.end(), b.target);
        if (hit == fallthrough_.end() || *hit != b.target) continue;
        const size_t to = static_cast<size_t>(hit - fallthrough_.begin()) + 1;
        landing[k] = to;
        if (to <= b.block + 1) continue;  // back edges are settled below
        if (skips_used_definition(b.block, to)) landing[k] = kOwnStub;
        else skips.emplace_back(b.block, to);
    }
    // outer[x]: the smallest origin of a kept skip that leaves block x behind
    // a skipped block (from + 2 <= x < to), or kNoBlock. A back edge landing
    // on x reaches, around the skipped blocks, every block from x on.
    std::vector<size_t> outer(block_ + 1, kNoBlock);
    if (!skips.empty()) {
        std::sort(skips.begin(), skips.end());
        std::priority_queue<std::pair<size_t, size_t>, std::vector<std::pair<size_t, size_t>>, std::greater<>> active;
        size_t next = 0;
        for (size_t x = 0; x <= block_; ++x) {
            for (; next < skips.size() && skips[next].first + 2 <= x; ++next) active.push(skips[next]);
            while (!active.empty() && active.top().second <= x) active.pop();
            if (!active.empty()) outer[x] = active.top().first + 1;  // + 1: block 0 can be an origin
        }
    }
    std::set<std::pair<char, uint64_t>> stubbed;
    for (size_t k = 0; k < branches_.size(); ++k) {
        const BranchRef& b = branches_[k];
        size_t to = landing[k];
        if (to != kNoBlock && to != kOwnStub && to <= b.block && outer[to] != kNoBlock &&
            skips_used_definition(outer[to] - 1, to))
            to = kOwnStub;
        if (to != kNoBlock && to != kOwnStub) continue;
        const char letter = to == kOwnStub ? 'T' : 'L';
        body_[b.offset] = letter;
        if (!stubbed.emplace(letter, b.target).second) continue;
        char buf[24];
        stubs_ += letter;
        stubs_.append(buf, std::to_chars(buf, buf + sizeof buf, b.target).ptr);
        stubs_ += ":\n  ret i64 ";
        stubs_ += kNil;
        stubs_ += '\n';
    }
}

std::string IrEmitter::module(std::string_view name) const {
    std::string out;
    out.reserve(512 + name.size() * 2 + body_.size() + stubs_.size());
    out += "; Calvex v3.9.1 \u2014 Generated LLVM IR\n";
    out += "; Trace: ";
    out += name;
    out += "\n; DO NOT EDIT \u2014 auto-generated by ir\n\n";
    out += "target triple = \"x86_64-unknown-linux-gnu\"\n";
    out += "target datalayout = \"e-m:e-p270:32:32-p271:32:32-p272:64:64-i64:64-f80:128-n8:16:32:64-S128\"\n\n";
    if (helpers_) {
        out += kHelperDecls;
        if (load_const_) out += kLoadConstDecl;
        out += '\n';
    }
    out += "define i64 @";
    out += name;
    out += "() noinline {\nentry:\n";
    out += body_;
    out += stubs_;
    out += "}\n";
    return out;
}

}  // namespace

std::string generate_ir(std::string_view name, std::span<const Instruction> code) {
    IrEmitter e;
    for (const Instruction& ins : code) {
        if (e.terminated()) break;
        e.lower(ins);
    }
    e.finish();
    return e.module(name);
}

}  // namespace calvex
