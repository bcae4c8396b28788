// Module entry of calvex_parser: registration, argument handling and the
// PyParser class. The work behind each member lives in the files named in
// bindings.h.
#include "host.h"
#include "bindings.h"

#include <memory>

namespace {

using calvex::Token;

// ---- PyParser ------------------------------------------------------------------

struct PyParserObject {
    PyObject_HEAD
    std::vector<Token>* tokens;
};

PyObject* parser_type = nullptr;

// Extracts `py_tokens` and converts it into tokens.
bool convert_tokens(PyObject* obj, std::vector<Token>& out) {
    if (!host::extract_token_sequence(obj, "py_tokens")) return false;
    return calvex::tokens_from_host(obj, out);
}

constexpr const char* kTokensParam[] = {"py_tokens"};
constexpr const char* kSourceParam[] = {"source"};

PyObject* pyparser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args_tuple("PyParser.__new__()", kTokensParam, 1, args, kwargs, &arg)) return nullptr;
        auto tokens = std::make_unique<std::vector<Token>>();
        if (!convert_tokens(arg, *tokens)) return nullptr;
        auto* self = reinterpret_cast<PyParserObject*>(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        self->tokens = tokens.release();
        return reinterpret_cast<PyObject*>(self);
    });
}

void pyparser_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyParserObject*>(obj);
    delete self->tokens;
    PyTypeObject* tp = Py_TYPE(obj);
    tp->tp_free(obj);
    Py_DECREF(tp);
}

PyObject* pyparser_parse(PyObject* obj, PyObject*) {
    return host::guard([&]() -> PyObject* {
        auto* self = reinterpret_cast<PyParserObject*>(obj);
        if (!self->tokens) return host::raise_panic("PyParser holds no tokens"), nullptr;
        return calvex::parse_to_host(*self->tokens, false);
    });
}

PyObject* pyparser_parse_tokens(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args("PyParser.parse_tokens()", kTokensParam, 1, args, nargs, kwnames, &arg)) return nullptr;
        std::vector<Token> tokens;
        if (!convert_tokens(arg, tokens)) return nullptr;
        return calvex::parse_to_host(std::move(tokens), false);
    });
}

PyMethodDef pyparser_methods[] = {
    {"parse", pyparser_parse, METH_NOARGS, "parse($self)\n--\n\nParse tokens into an AST"},
    {"parse_tokens", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pyparser_parse_tokens)),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "parse_tokens(py_tokens)\n--\n\nParse from a token list (static method)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pyparser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pyparser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pyparser_dealloc)},
    {Py_tp_methods, pyparser_methods},
    {Py_tp_doc, const_cast<char*>("PyParser(py_tokens)\n--\n\nWeft wrapper for the Parser")},
    {0, nullptr},
};

PyType_Spec pyparser_spec = {
    "calvex_parser.PyParser",
    sizeof(PyParserObject),
    0,
    Py_TPFLAGS_DEFAULT,
    pyparser_slots,
};

// ---- module functions ------------------------------------------------------------

// Binds the single `source` argument of a module function and runs `work` on it.
template <class F>
PyObject* with_source(const char* fullname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F work) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args(fullname, kSourceParam, 1, args, nargs, kwnames, &arg)) return nullptr;
        std::string_view source;
        if (!host::extract_str(arg, "source", source)) return nullptr;
        return work(source);
    });
}

PyObject* py_lex(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_source("lex()", args, nargs, kwnames, calvex::lex_to_host);
}

PyObject* py_compile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_source("compile()", args, nargs, kwnames, calvex::compile_to_host);
}

PyObject* py_compile_and_run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_source("compile_and_run()", args, nargs, kwnames, calvex::compile_and_run_host);
}

PyObject* py_parse_tokens(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        PyObject* arg;
        if (!host::bind_args("parse_tokens()", kTokensParam, 1, args, nargs, kwnames, &arg)) return nullptr;
        std::vector<Token> tokens;
        if (!convert_tokens(arg, tokens)) return nullptr;
        return calvex::parse_to_host(std::move(tokens), true);
    });
}

PyObject* py_set_native_binding(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return host::guard([&]() -> PyObject* {
        static constexpr const char* names[] = {"name", "callback"};
        PyObject* a[2];
        if (!host::bind_args("set_native_binding()", names, 2, args, nargs, kwnames, a)) return nullptr;
        std::string_view name;
        if (!host::extract_str(a[0], "name", name)) return nullptr;
        if (!calvex::set_native_binding(name, a[1])) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_clear_native_bindings(PyObject*, PyObject*) {
    return host::guard([&]() -> PyObject* {
        if (!calvex::clear_native_bindings()) return nullptr;
        Py_RETURN_NONE;
    });
}

PyCFunction fastcall(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_functions[] = {
    {"lex", fastcall(py_lex), kFast, "lex(source)\n--\n\n"},
    {"parse_tokens", fastcall(py_parse_tokens), kFast, "parse_tokens(py_tokens)\n--\n\nMain parsing function"},
    {"compile", fastcall(py_compile), kFast, "compile(source)\n--\n\n"},
    {"compile_and_run", fastcall(py_compile_and_run), kFast,
     "compile_and_run(source)\n--\n\nCompile and execute source in one shot (pure Oaken pipeline)"},
    {"set_native_binding", fastcall(py_set_native_binding), kFast,
     "set_native_binding(name, callback)\n--\n\nRegister a Python callable as a native Calvex function.\n"
     "These are checked before user-defined functions and builtins."},
    {"clear_native_bindings", py_clear_native_bindings, METH_NOARGS,
     "clear_native_bindings()\n--\n\nClear all registered native bindings."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "calvex_parser", "", 0, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

host::ModuleSlot module_slot;

PyObject* create_module() {
    if (!parser_type) {
        parser_type = PyType_FromSpec(&pyparser_spec);
        if (!parser_type) return nullptr;
    }
    return host::build_module(module_def, "PyParser", parser_type, module_functions);
}

}  // namespace

PyMODINIT_FUNC PyInit_calvex_parser() {
    PyObject* result;
    if (host::module_already_created(module_slot, &result)) return result;
    PyObject* m = host::guard(create_module);
    if (m) module_slot.module = Py_NewRef(m);
    return m;
}
