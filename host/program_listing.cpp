// Program.disassemble(): one block per unit, one line per instruction with
// its index, source line, operand and, for constant operands, the constant.
// (common/disassemble.h has the one-line form the C++ tests read back.)
#include "core.h"

#include <cstdio>

namespace calvex::core {

namespace {

void append_constant(std::string& out, const Constant& c) {
    switch (c.index()) {
        case 0: out += "nil"; break;
        case 1: out += std::get<bool>(c) ? "true" : "false"; break;
        case 2: out += std::to_string(std::get<int64_t>(c)); break;
        case 3: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", std::get<double>(c));
            out += buf;
            break;
        }
        default: {
            out += '"';
            for (char ch : std::get<std::string>(c)) {
                if (ch == '"' || ch == '\\') {
                    out += '\\';
                    out += ch;
                } else if (ch == '\n') {
                    out += "\\n";
                } else if (static_cast<unsigned char>(ch) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(ch));
                    out += buf;
                } else {
                    out += ch;
                }
            }
            out += '"';
        }
    }
}

void unit(std::string& out, std::string_view name, uint64_t params, const Code& code, const LineTable& lines,
          const std::vector<Constant>& constants) {
    out += "== ";
    out += name;
    if (name != "<top>") out += " (" + std::to_string(params) + (params == 1 ? " parameter)" : " parameters)");
    out += " ==\n";
    char buf[64];
    for (size_t i = 0; i < code.size(); ++i) {
        const Instruction& in = code[i];
        uint64_t line = i < lines.size() ? lines[i] : 0;
        if (line)
            std::snprintf(buf, sizeof buf, "%5zu  %4llu  %-12s", i, static_cast<unsigned long long>(line),
                          op_name(in.op));
        else
            std::snprintf(buf, sizeof buf, "%5zu        %-12s", i, op_name(in.op));
        out += buf;
        if (in.op == Op::Push) {
            out += std::to_string(in.imm);
        } else if (op_has_operand(in.op)) {
            out += std::to_string(in.operand);
            Operand kind = op_operand(in.op);
            bool constant = kind == Operand::Const || kind == Operand::Global;
            if (constant && in.operand < constants.size()) {
                out += "  ; ";
                append_constant(out, constants[in.operand]);
            }
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out += '\n';
    }
}

}  // namespace

std::string disassemble(const CompiledProgram& p) {
    std::string out;
    unit(out, "<top>", 0, p.code, p.lines, p.constants);
    for (const FunctionEntry& f : p.functions) {
        out += '\n';
        unit(out, f.name, f.param_count, f.code, f.lines, f.constants);
    }
    return out;
}

}  // namespace calvex::core
