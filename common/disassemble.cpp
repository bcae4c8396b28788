#include "disassemble.h"

#include <cstdio>
#include <string>

#include "numfmt.h"

namespace calvex {

namespace {

void append_constant(std::string& out, const Constant& c) {
    switch (c.index()) {
        case 0: out += "nil"; break;
        case 1: out += std::get<bool>(c) ? "true" : "false"; break;
        case 2: out += std::to_string(std::get<int64_t>(c)); break;
        case 3: out += float_display(std::get<double>(c)); break;
        case 4: {
            out += '"';
            for (char ch : std::get<std::string>(c)) {
                auto b = static_cast<unsigned char>(ch);
                if (b < 0x20 || b == 0x7F || ch == ';' || ch == '"' || ch == '\\') {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02X", b);
                    out += buf;
                } else {
                    out += ch;
                }
            }
            out += '"';
            break;
        }
    }
}

std::string listing(const Code& code, const std::span<const Constant>* constants) {
    std::string out;
    for (const Instruction& ins : code) {
        if (!out.empty()) out += "; ";
        out += op_name(ins.op);
        if (ins.op == Op::Push) {
            out += ' ';
            out += std::to_string(ins.imm);
        } else if (op_has_operand(ins.op)) {
            out += ' ';
            out += std::to_string(ins.operand);
            const Operand kind = op_operand(ins.op);
            if (constants && (kind == Operand::Const || kind == Operand::Global)) {
                out += ' ';
                if (ins.operand < constants->size()) append_constant(out, (*constants)[ins.operand]);
                else out += "<none>";
            }
        }
    }
    return out;
}

}  // namespace

std::string disassemble(const Code& code) { return listing(code, nullptr); }

std::string disassemble(const Code& code, std::span<const Constant> constants) {
    return listing(code, &constants);
}

}  // namespace calvex
