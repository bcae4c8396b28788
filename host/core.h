// The native half of the `calvex` package (module calvex._core): the
// Program, Runtime and Function types and the exception classes they raise.
// Functions returning PyObject* hand back a new reference, or nullptr with a
// host error set.
#pragma once

#include "host.h"  // first: Python.h must precede the standard headers

#include <string>
#include <string_view>

#include "program_bytes.h"

namespace calvex::core {

// The exception classes of calvex.errors, fetched once when the module is
// created (borrowed: the errors module keeps them alive).
struct ErrorTypes {
    PyObject* compile_error = nullptr;   // CompileError(msg, (filename, lineno, offset, text))
    PyObject* script_error = nullptr;    // ScriptError(message, filename, line, traceback)
    PyObject* limit_exceeded = nullptr;  // LimitExceeded(limit, message)
    PyObject* interrupted = nullptr;     // Interrupted(message)
};
const ErrorTypes& errors();
bool load_error_types();

// ---- Program (program.cpp) ------------------------------------------------------

struct ProgramObject {
    PyObject_HEAD
    ProgramData* data;  // owned, never null once constructed
};

PyObject* program_type();
bool create_program_type();
bool is_program(PyObject* o);
inline const ProgramData& program_data(PyObject* o) { return *reinterpret_cast<ProgramObject*>(o)->data; }
// A new Program owning `data`.
PyObject* wrap_program(ProgramData data);

// Lex, parse and compile; false with CompileError set. `line_offset` and
// `first_column_offset` shift reported positions back when the source was
// wrapped before compiling.
bool compile_source(std::string_view source, std::string_view filename, ProgramData& out);
// One expression: the program computing it, leaving its value as the result.
bool compile_expression(std::string_view source, std::string_view filename, ProgramData& out);

PyObject* py_compile(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_program_from_bytes(PyObject* module, PyObject* arg);

// The instruction listing of every unit of a program.
std::string disassemble(const CompiledProgram& p);

// ---- Runtime and Function (runtime_type.cpp) ------------------------------------

bool create_runtime_types(PyObject* module);
PyObject* runtime_type();
PyObject* function_type();

}  // namespace calvex::core
