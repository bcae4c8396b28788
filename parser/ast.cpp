#include "ast.h"

#include <algorithm>
#include <iterator>

namespace calvex {

char* Arena::add_block(size_t bytes) {
    blocks_.reserve(blocks_.size() + 1);  // so that the push below cannot lose the block
    blocks_.emplace_back(static_cast<char*>(::operator new(bytes)));
    return blocks_.back().get();
}

// A request that would take more than half of the next block gets a block of
// its own, so the block being filled is not abandoned for it.
void* Arena::grow(size_t bytes, size_t align) {
    const size_t need = bytes + align;
    if (need > next_size_ / 2) {
        auto p = (reinterpret_cast<uintptr_t>(add_block(need)) + align - 1) & ~(uintptr_t(align) - 1);
        return reinterpret_cast<void*>(p);
    }
    cur_ = add_block(next_size_);
    end_ = cur_ + next_size_;
    next_size_ = std::min(next_size_ * 2, kMaxBlock);
    return allocate(bytes, align);
}

namespace {

constexpr const char* kBinaryNames[] = {
    "Add", "Sub", "Mul", "Div", "Mod", "Power",
    "Eq", "Neq", "Lt", "Lte", "Gt", "Gte",
    "And", "Or",
    "BitwiseAnd", "BitwiseOr", "BitwiseXor", "LeftShift", "RightShift",
    "Assign",
};
static_assert(std::size(kBinaryNames) == kBinaryOperatorCount);

constexpr const char* kUnaryNames[] = {"Neg", "Not", "BitwiseNot"};
static_assert(std::size(kUnaryNames) == kUnaryOperatorCount);

constexpr const char* kExprNames[] = {
    "Literal", "Identifier", "Propagate", "BinaryOp", "UnaryOp", "Call", "Index", "Member",
    "Ternary", "Array", "Object", "Lambda", "StringInterpolation", "Await", "Yield",
};
static_assert(std::size(kExprNames) == kExprKindCount);

constexpr const char* kStmtNames[] = {
    "ExprStatement", "VarDecl", "FunctionDef", "ClassDef", "If", "While", "For", "Switch",
    "Return", "Break", "Continue", "Throw", "Try",
};
static_assert(std::size(kStmtNames) == kStmtKindCount);

}  // namespace

const char* binary_operator_name(BinaryOperator op) { return kBinaryNames[static_cast<int>(op)]; }
const char* unary_operator_name(UnaryOperator op) { return kUnaryNames[static_cast<int>(op)]; }
const char* expr_kind_name(ExprKind k) { return kExprNames[static_cast<int>(k)]; }
const char* stmt_kind_name(StmtKind k) { return kStmtNames[static_cast<int>(k)]; }

}  // namespace calvex
