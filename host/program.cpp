// calvex.compile and calvex.Program: the front end with errors that carry
// their position, and the Program type (serialisation, pickling, listing).
#include "core.h"

#include <charconv>
#include <utility>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"

namespace calvex::core {

namespace {

using host::Ref;

PyObject* g_program_type = nullptr;

// The source line `lineno` (1-based) without its line break, or "".
std::string_view source_line(std::string_view src, uint64_t lineno) {
    size_t pos = 0;
    for (uint64_t l = 1; l < lineno; ++l) {
        size_t nl = src.find('\n', pos);
        if (nl == std::string_view::npos) return {};
        pos = nl + 1;
    }
    size_t end = src.find('\n', pos);
    std::string_view line = src.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// Parses "<prefix>L:C: rest" (C optional when `with_column` is false).
bool split_location(std::string_view text, std::string_view prefix, bool with_column, uint64_t& line,
                    uint64_t& column, std::string_view& rest) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    const char* p = text.data() + prefix.size();
    const char* end = text.data() + text.size();
    auto r = std::from_chars(p, end, line);
    if (r.ec != std::errc()) return false;
    p = r.ptr;
    column = 0;
    if (with_column) {
        if (p == end || *p != ':') return false;
        r = std::from_chars(p + 1, end, column);
        if (r.ec != std::errc()) return false;
        p = r.ptr;
    }
    if (end - p < 2 || p[0] != ':' || p[1] != ' ') return false;
    rest = std::string_view(p + 2, static_cast<size_t>(end - p - 2));
    return true;
}

// A lex error that names no position: the first line whose prefix of the
// source fails with the same message. Cutting the source at a line end
// changes nothing before the cut, so prefixes shorter than the failing line
// lex cleanly or fail only for running out of input (other messages): the
// property is monotonic and can be bisected.
uint64_t locate_lex_error(std::string_view src, const std::string& message) {
    std::vector<size_t> ends;
    for (size_t i = 0; i < src.size(); ++i)
        if (src[i] == '\n') ends.push_back(i + 1);
    ends.push_back(src.size());
    size_t lo = 0, hi = ends.size() - 1;  // answer index in [lo, hi]
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        auto r = tokenize(src.substr(0, ends[mid]));
        if (!r && r.error() == message)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo + 1;
}

bool raise_compile_error(std::string_view filename, std::string_view msg, uint64_t line, uint64_t column,
                         std::string_view src) {
    Ref m = Ref::steal(host::to_str(msg));
    Ref f = Ref::steal(host::to_str(filename));
    Ref l = line ? Ref::steal(PyLong_FromUnsignedLongLong(line)) : Ref::borrow(Py_None);
    Ref c = column ? Ref::steal(PyLong_FromUnsignedLongLong(column)) : Ref::borrow(Py_None);
    Ref t = line ? Ref::steal(host::to_str(source_line(src, line))) : Ref::borrow(Py_None);
    if (!m || !f || !l || !c || !t) return false;
    Ref details = Ref::steal(PyTuple_Pack(4, f.get(), l.get(), c.get(), t.get()));
    if (!details) return false;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(errors().compile_error, m.get(), details.get(), nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return false;
}

// Raises the CompileError for the lexer's message `text` about `source`.
bool raise_lex_error(const std::string& text, std::string_view source, std::string_view filename) {
    uint64_t line = 0, column = 0;
    std::string_view rest;
    if (split_location(text, "Lexer error at ", true, line, column, rest))
        return raise_compile_error(filename, rest, line, column, source);
    if (text.starts_with("Unterminated block comment at ")) {
        std::string_view tail = std::string_view(text).substr(30);
        auto r = std::from_chars(tail.data(), tail.data() + tail.size(), line);
        if (r.ec == std::errc() && r.ptr < tail.data() + tail.size() && *r.ptr == ':')
            (void)std::from_chars(r.ptr + 1, tail.data() + tail.size(), column);
        return raise_compile_error(filename, "Unterminated block comment", line, column, source);
    }
    line = locate_lex_error(source, text);
    // The column of the offending character, when the message names it.
    std::string_view line_text = source_line(source, line);
    for (std::string_view prefix : {"Unexpected character: ", "Unknown escape sequence: "}) {
        if (std::string_view(text).starts_with(prefix)) {
            size_t at = line_text.find(std::string_view(text).substr(prefix.size()));
            if (at != std::string_view::npos) column = at + 1;
        }
    }
    return raise_compile_error(filename, text, line, column, source);
}

// Lexes and parses in one pass; a failure of either becomes the CompileError.
bool parse(std::string_view source, std::string_view filename, Program& out) {
    auto program = parse_source(source);
    if (program) {
        out = std::move(*program);
        return true;
    }
    const SourceError& e = program.error();
    if (e.lexical) return raise_lex_error(e.lex_message, source, filename);
    return raise_compile_error(filename, e.parse.message, e.parse.line, e.parse.column, source);
}

bool compile(const Program& program, std::string_view source, std::string_view filename, ProgramData& out) {
    auto compiled = compile_program(program);
    if (!compiled) {
        uint64_t line = 0, column = 0;
        std::string_view rest;
        if (split_location(compiled.error(), "Line ", false, line, column, rest))
            return raise_compile_error(filename, rest, line, 0, source);
        return raise_compile_error(filename, compiled.error(), 0, 0, source);
    }
    out.filename = std::string(filename);
    out.compiled = std::move(*compiled);
    return true;
}

}  // namespace

bool compile_source(std::string_view source, std::string_view filename, ProgramData& out) {
    Program program;
    return parse(source, filename, program) && compile(program, source, filename, out);
}

bool compile_expression(std::string_view source, std::string_view filename, ProgramData& out) {
    Program program;
    if (!parse(source, filename, program)) return false;
    if (program.statements.size() != 1 || program.statements[0].kind() != StmtKind::ExprStatement)
        return raise_compile_error(filename, "expected one expression", program.statements.empty() ? 0 : 1, 0,
                                   source);
    if (!compile(program, source, filename, out)) return false;
    // The top level drops an expression statement's value with a Pop right
    // before the final Halt; without it the value is the run's result.
    Code& code = out.compiled.code;
    for (size_t i = code.size(); i-- > 0;) {
        if (code[i].op == Op::Halt) continue;
        if (code[i].op == Op::Pop) code[i] = Instruction::make(Op::Nop);
        break;
    }
    return true;
}

// ---- the Program type ---------------------------------------------------------------

namespace {

ProgramObject* as_program(PyObject* o) { return reinterpret_cast<ProgramObject*>(o); }

void program_dealloc(PyObject* o) {
    delete as_program(o)->data;
    PyTypeObject* tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* program_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "calvex.Program cannot be created directly; use calvex.compile() or Program.from_bytes()");
    return nullptr;
}

PyObject* program_to_bytes_method(PyObject* self, PyObject*) {
    return host::guard([&]() -> PyObject* {
        std::vector<uint8_t> bytes = program_to_bytes(*as_program(self)->data);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* program_from_bytes_method(PyObject*, PyObject* arg) { return py_program_from_bytes(nullptr, arg); }

PyObject* program_reduce(PyObject* self, PyObject*) {
    Ref bytes = Ref::steal(program_to_bytes_method(self, nullptr));
    if (!bytes) return nullptr;
    Ref module = Ref::steal(PyImport_ImportModule("calvex._core"));
    if (!module) return nullptr;
    Ref loader = Ref::steal(PyObject_GetAttrString(module.get(), "program_from_bytes"));
    if (!loader) return nullptr;
    return Py_BuildValue("(O(O))", loader.get(), bytes.get());
}

PyObject* program_disassemble(PyObject* self, PyObject*) {
    return host::guard([&]() -> PyObject* { return host::to_str(disassemble(as_program(self)->data->compiled)); });
}

PyObject* program_repr(PyObject* self) {
    return host::guard([&]() -> PyObject* {
        const ProgramData& d = *as_program(self)->data;
        Ref name = Ref::steal(host::to_str(d.filename));
        if (!name) return nullptr;
        return PyUnicode_FromFormat("<calvex.Program %R: %zu instructions, %zu functions>", name.get(),
                                    d.compiled.code.size(), d.compiled.functions.size());
    });
}

PyObject* program_filename(PyObject* self, void*) { return host::to_str(as_program(self)->data->filename); }

PyObject* program_functions(PyObject* self, void*) {
    const auto& fs = as_program(self)->data->compiled.functions;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const FunctionEntry& f : fs) {
        if (f.name.starts_with("<lambda>")) continue;
        Ref n = Ref::steal(host::to_str(f.name));
        if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(list.get());
}

PyMethodDef program_methods[] = {
    {"to_bytes", program_to_bytes_method, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe serialised program: versioned and checksummed; Program.from_bytes() reads it back."},
    {"from_bytes", program_from_bytes_method, METH_O | METH_STATIC,
     "from_bytes(data)\n--\n\nA Program from to_bytes() output. Raises ValueError for truncated, corrupted "
     "or foreign data."},
    {"disassemble", program_disassemble, METH_NOARGS,
     "disassemble($self)\n--\n\nThe instruction listing of the top-level code and of every function."},
    {"__reduce__", program_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_getset[] = {
    {"filename", program_filename, nullptr, "The name errors report for this program.", nullptr},
    {"functions", program_functions, nullptr, "Names of the functions and methods the program defines.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(program_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(program_repr)},
    {Py_tp_methods, program_methods},
    {Py_tp_getset, program_getset},
    {Py_tp_doc, const_cast<char*>("A compiled Calvex program: calvex.compile(source) makes one; "
                                  "Runtime.exec() runs it. Immutable, picklable.")},
    {0, nullptr},
};

PyType_Spec program_spec = {"calvex.Program", sizeof(ProgramObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                            program_slots};

}  // namespace

PyObject* program_type() { return g_program_type; }

bool create_program_type() {
    if (!g_program_type) g_program_type = PyType_FromSpec(&program_spec);
    return g_program_type != nullptr;
}

bool is_program(PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(g_program_type)); }

PyObject* wrap_program(ProgramData data) {
    auto* tp = reinterpret_cast<PyTypeObject*>(g_program_type);
    auto* self = reinterpret_cast<ProgramObject*>(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    self->data = new ProgramData(std::move(data));
    return reinterpret_cast<PyObject*>(self);
}

PyObject* py_compile(PyObject*, PyObject* args, PyObject* kwargs) {
    return host::guard([&]() -> PyObject* {
        static const char* names[] = {"source", "filename", nullptr};
        const char* src = nullptr;
        Py_ssize_t len = 0;
        const char* filename = "<string>";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|$s:compile", const_cast<char**>(names), &src, &len,
                                         &filename))
            return nullptr;
        ProgramData data;
        if (!compile_source(std::string_view(src, static_cast<size_t>(len)), filename, data)) return nullptr;
        return wrap_program(std::move(data));
    });
}

PyObject* py_program_from_bytes(PyObject*, PyObject* arg) {
    return host::guard([&]() -> PyObject* {
        Py_buffer view;
        if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
        auto r = program_from_bytes(
            std::span<const uint8_t>(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)));
        PyBuffer_Release(&view);
        if (!r) {
            host::raise(PyExc_ValueError, r.error());
            return nullptr;
        }
        return wrap_program(std::move(*r));
    });
}

}  // namespace calvex::core
