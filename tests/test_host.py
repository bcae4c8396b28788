"""The host boundary: members, signatures, docstrings and argument errors."""
import pytest

import calvex_parser as cp
import calvex_vm_engine as ve


def test_member_order_and_all():
    assert cp.__all__ == ["PyParser", "lex", "parse_tokens", "compile", "compile_and_run",
                          "set_native_binding", "clear_native_bindings"]
    assert ve.__all__ == ["VMEngine", "optimize_bytecode", "emit_ir"]
    names = [n for n in vars(cp) if not n.startswith("__")]
    assert names == cp.__all__
    assert [n for n in vars(ve) if not n.startswith("__")] == ve.__all__
    assert [n for n in vars(ve.VMEngine) if not n.startswith("__")] == [
        "execute", "enable_jit", "collect_hot_traces_ir", "reset", "state", "stats"]
    assert [n for n in vars(cp.PyParser) if not n.startswith("__")] == ["parse", "parse_tokens"]


def test_module_docstrings_are_empty():
    assert cp.__doc__ == ""
    assert ve.__doc__ == ""


@pytest.mark.parametrize("obj, signature, doc", [
    (cp.PyParser, "(py_tokens)", "Weft wrapper for the Parser"),
    (cp.PyParser.parse, "($self)", "Parse tokens into an AST"),
    (cp.PyParser.parse_tokens, "(py_tokens)", "Parse from a token list (static method)"),
    (cp.lex, "(source)", None),
    (cp.parse_tokens, "(py_tokens)", "Main parsing function"),
    (cp.compile, "(source)", None),
    (cp.compile_and_run, "(source)", "Compile and execute source in one shot (pure Oaken pipeline)"),
    (cp.set_native_binding, "(name, callback)",
     "Register a Python callable as a native Calvex function.\n"
     "These are checked before user-defined functions and builtins."),
    (cp.clear_native_bindings, "()", "Clear all registered native bindings."),
    (ve.VMEngine, "(bytecode)", "Python wrapper for VMEngine"),
    (ve.VMEngine.execute, "($self)", None),
    (ve.VMEngine.enable_jit, "($self)", None),
    (ve.VMEngine.collect_hot_traces_ir, "($self)", None),
    (ve.VMEngine.reset, "($self, bytecode)", None),
    (ve.VMEngine.state, "($self)", None),
    (ve.VMEngine.stats, "($self)", None),
    (ve.optimize_bytecode, "(bytecode)",
     "Optimize Calvex bytecode (passed as bytes) and return optimized bytes"),
    (ve.emit_ir, "(trace_name, opcodes_str)", "Emit LLVM IR for a named trace"),
])
def test_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def _type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: cp.lex(), "lex() missing 1 required positional argument: 'source'"),
    (lambda: cp.lex("a", "b"), "lex() takes 1 positional arguments but 2 were given"),
    (lambda: cp.lex(src="a"), "lex() got an unexpected keyword argument 'src'"),
    (lambda: cp.lex("a", source="b"), "lex() got multiple values for argument 'source'"),
    (lambda: cp.set_native_binding("f"),
     "set_native_binding() missing 1 required positional argument: 'callback'"),
    (lambda: cp.set_native_binding(),
     "set_native_binding() missing 2 required positional arguments: 'name' and 'callback'"),
    (lambda: cp.set_native_binding(1, 2, 3),
     "set_native_binding() takes 2 positional arguments but 3 were given"),
    (lambda: cp.set_native_binding(5, print), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: cp.compile(b"x"), "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: cp.compile_and_run(None),
     "argument 'source': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: cp.parse_tokens("abc"), "argument 'py_tokens': Can't extract `str` to `Vec`"),
    (lambda: cp.parse_tokens(5), "argument 'py_tokens': 'int' object cannot be converted to 'Sequence'"),
    (lambda: cp.parse_tokens({}), "argument 'py_tokens': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: cp.PyParser(), "PyParser.__new__() missing 1 required positional argument: 'py_tokens'"),
    (lambda: cp.PyParser([], []), "PyParser.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: cp.PyParser(tokens=[]), "PyParser.__new__() got an unexpected keyword argument 'tokens'"),
    (lambda: cp.PyParser("x"), "argument 'py_tokens': Can't extract `str` to `Vec`"),
    (lambda: cp.PyParser.parse_tokens(),
     "PyParser.parse_tokens() missing 1 required positional argument: 'py_tokens'"),
    (lambda: ve.VMEngine("ab"), "argument 'bytecode': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: ve.VMEngine(bytearray(b"\x01")),
     "argument 'bytecode': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: ve.VMEngine(b"", bytecode=b""), "VMEngine.__new__() got multiple values for argument 'bytecode'"),
    (lambda: ve.VMEngine(b"").reset(), "VMEngine.reset() missing 1 required positional argument: 'bytecode'"),
    (lambda: ve.VMEngine(b"").reset(b"", b""), "VMEngine.reset() takes 1 positional arguments but 2 were given"),
    (lambda: ve.optimize_bytecode([1]), "argument 'bytecode': 'list' object cannot be converted to 'PyBytes'"),
    (lambda: ve.emit_ir("t", "ab"), "argument 'opcodes_str': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: ve.emit_ir(b"t", b""), "argument 'trace_name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: ve.emit_ir(opcodes_str=b""), "emit_ir() missing 1 required positional argument: 'trace_name'"),
    (lambda: ve.emit_ir("a", b"", "c", "d"), "emit_ir() takes 2 positional arguments but 4 were given"),
])
def test_argument_errors(call, message):
    assert _type_error(call) == message


def test_keyword_arguments_work_like_positional():
    assert cp.lex(source="x") == cp.lex("x")
    assert ve.optimize_bytecode(bytecode=b"\x02\x01") == ve.optimize_bytecode(b"\x02\x01")
    assert ve.emit_ir(opcodes_str=b"", trace_name="t") == ve.emit_ir("t", b"")


def test_no_argument_members_reject_arguments():
    engine = ve.VMEngine(b"")
    for call in (lambda: engine.execute(1), lambda: engine.state(None), lambda: engine.stats(x=1),
                 lambda: cp.clear_native_bindings(1), lambda: cp.PyParser([]).parse(1)):
        with pytest.raises(TypeError):
            call()


def test_subclasses_of_str_and_bytes_are_accepted():
    class S(str):
        pass

    class B(bytes):
        pass

    assert cp.lex(S("x")) == cp.lex("x")
    assert ve.optimize_bytecode(B(b"\x02\x01")) == b""


def test_wrong_type_names_the_qualified_type():
    class Outer:
        class Inner:
            pass

    msg = _type_error(lambda: cp.lex(Outer.Inner()))
    assert msg == ("argument 'source': 'test_wrong_type_names_the_qualified_type.<locals>.Outer.Inner' "
                   "object cannot be converted to 'PyString'")


def test_unencodable_source_raises_the_encoders_error():
    with pytest.raises(UnicodeEncodeError):
        cp.lex("\ud800")


def test_modules_are_created_once():
    import importlib
    import sys

    for name, mod in (("calvex_parser", cp), ("calvex_vm_engine", ve)):
        del sys.modules[name]
        try:
            assert importlib.import_module(name) is mod
        finally:
            sys.modules[name] = mod


SUBINTERPRETER_IMPORT = """
import sys
import calvex_parser, calvex_vm_engine
try:
    import _xxsubinterpreters as si
    interp = si.create(isolated=False)  # a legacy sub-interpreter may load any module
except ImportError:
    sys.exit(77)
for name in ("calvex_parser", "calvex_vm_engine"):
    try:
        si.run_string(interp, "import " + name)
    except si.RunFailedError as e:
        print(name, e)
    else:
        print(name, "imported")
si.destroy(interp)
"""


def test_sub_interpreters_are_refused():
    import os
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_IMPORT], capture_output=True, text=True,
                         env=env, timeout=60)
    if run.returncode == 77:
        pytest.skip("no sub-interpreter support in this interpreter")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2
    for line, name in zip(lines, ("calvex_parser", "calvex_vm_engine")):
        assert line.startswith(name + " <class 'ImportError'>: ") and "sub-interpreters" in line


def test_classes_are_not_subclassable_and_live_in_their_modules():
    assert cp.PyParser.__module__ == "calvex_parser"
    assert ve.VMEngine.__module__ == "calvex_vm_engine"
    with pytest.raises(TypeError):
        type("X", (ve.VMEngine,), {})
