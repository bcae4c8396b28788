// What the calvex_parser module entry calls. Functions returning PyObject*
// hand back a new reference, or nullptr with a host error set.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "parser/token.h"

namespace calvex {

// lex(source): list of token dictionaries, or SyntaxError.
PyObject* lex_to_host(std::string_view source);

// Converts a host sequence (already known to pass the sequence check and not
// to be a str) of token dictionaries. Returns false with a host error set.
bool tokens_from_host(PyObject* seq, std::vector<Token>& out);

// Parses tokens and returns the Program dictionary; a parse error raises
// SyntaxError, with "Parse error: " in front when `prefixed`.
PyObject* parse_to_host(std::vector<Token> tokens, bool prefixed);

// compile(source) and compile_and_run(source).
PyObject* compile_to_host(std::string_view source);
PyObject* compile_and_run_host(std::string_view source);

// The native-binding registry.
bool set_native_binding(std::string_view name, PyObject* callback);
bool clear_native_bindings();

}  // namespace calvex
