// compile(source) and compile_and_run(source): the front end, the compiler
// and (for the second) the optimiser and a fresh machine, in one host call.
#include "host.h"  // first: Python.h must precede the standard headers
#include "bindings.h"

#include <string>
#include <utility>
#include <vector>

#include "native.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/value.h"
#include "vm_engine/vm.h"
#include "parser/compiler.h"
#include "parser/parser.h"

namespace calvex {

namespace {

using host::Ref;

// Source -> compiled program, or nullptr with SyntaxError set. `prefixed`
// selects the messages of compile_and_run ("Lex error: ", "Parse error: ",
// "Compile error: ") over the bare ones of compile.
bool front_end(std::string_view source, bool prefixed, CompiledProgram& out) {
    auto program = parse_source(source);
    if (!program) {
        const SourceError& e = program.error();
        if (e.lexical)
            host::raise(PyExc_SyntaxError, (prefixed ? "Lex error: " : "") + e.lex_message);
        else
            host::raise(PyExc_SyntaxError, (prefixed ? "Parse error: " : "") + e.parse.render());
        return false;
    }
    auto compiled = compile_program(*program);
    if (!compiled) {
        host::raise(PyExc_SyntaxError, (prefixed ? "Compile error: " : "") + compiled.error());
        return false;
    }
    out = std::move(*compiled);
    return true;
}

template <class T>
PyObject* int_list(const std::vector<T>& xs) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(xs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < xs.size(); ++i) {
        PyObject* n = PyLong_FromLong(static_cast<long>(xs[i]));
        if (!n) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
    }
    return list.release();
}

// The machine's periodic check: true stops the run with the host's exception
// (KeyboardInterrupt from Ctrl-C, or whatever a signal handler raised) pending.
bool host_signal_pending(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace

PyObject* compile_to_host(std::string_view source) {
    CompiledProgram program;
    if (!front_end(source, false, program)) return nullptr;
    Ref opcodes = Ref::steal(int_list(summarize_code(program.code)));
    if (!opcodes) return nullptr;
    Ref constants = Ref::steal(int_list(serialize_constants(program.constants)));
    if (!constants) return nullptr;
    return PyTuple_Pack(2, opcodes.get(), constants.get());
}

PyObject* compile_and_run_host(std::string_view source) {
    host::ReentryGuard reentry("compile_and_run()");
    if (!reentry.ok()) return nullptr;
    CompiledProgram program;
    if (!front_end(source, true, program)) return nullptr;

    // The optimiser drops instructions; the line table loses the same
    // entries so that "Line N: " still names the failing statement. Only the
    // rewrites that keep results run: top-level code computes what the same
    // code computes in a function.
    std::vector<size_t> kept;
    Code code = optimize(program.code, &kept, Rewrites::KeepResults);
    LineTable lines;
    lines.reserve(kept.size());
    for (size_t k : kept) lines.push_back(k < program.lines.size() ? program.lines[k] : 0);

    std::vector<Value> constants;
    constants.reserve(program.constants.size());
    for (const Constant& c : program.constants) constants.push_back(value_from_constant(c));

    VM vm(std::move(code), std::move(constants), std::move(lines), FunctionTable(std::move(program.functions)));
    if (!install_native_bindings(vm)) return nullptr;
    vm.set_interrupt_check(host_signal_pending, nullptr);

    Result<Value> result = vm.execute();
    if (vm.last_abort() == Abort::OutOfMemory) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    // An interrupt, or a host exception a native callback let through.
    if (PyErr_Occurred()) return nullptr;
    if (!result) return host::to_str("Runtime error: " + result.error());
    return host::to_str(host_display_text(*result));
}

}  // namespace calvex
