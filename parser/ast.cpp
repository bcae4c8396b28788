#include "ast.h"

#include <iterator>

namespace calvex {

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
