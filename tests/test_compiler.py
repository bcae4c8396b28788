"""The compiler as `compile` shows it: top-level instruction summaries, the
constant pool bytes, and the compile errors."""
import struct

import pytest

import calvex_parser as cp

# Summary numbers of `compile`; every kind without a number of its own
# (jumps, loads, stores, calls, collections...) reports 254, shown as "_".
NAMES = {
    0: "Nop", 1: "Push", 2: "Pop", 3: "Dup", 4: "Swap", 5: "Neg", 6: "Concat", 7: "Len",
    16: "Add", 17: "Sub", 18: "Mul", 19: "Div", 20: "Mod", 21: "Pow",
    32: "Eq", 33: "Ne", 34: "Lt", 35: "Le", 36: "Gt", 37: "Ge",
    48: "And", 49: "Or", 50: "Not", 254: "_", 255: "Halt",
}


def dis(source):
    ops, _ = cp.compile(source)
    return " ".join(NAMES[o] for o in ops)


def pool(source):
    """The constant pool, decoded from the byte list of `compile`."""
    _, data = cp.compile(source)
    data = bytes(data)
    out, i = [], 0
    while i < len(data):
        tag = data[i]
        i += 1
        if tag == 0:
            out.append(None)
        elif tag == 1:
            out.append(bool(data[i]))
            i += 1
        elif tag == 2:
            out.append(int.from_bytes(data[i:i + 8], "little", signed=True))
            i += 8
        elif tag == 3:
            out.append(struct.unpack("<d", data[i:i + 8])[0])
            i += 8
        else:
            assert tag == 4, f"unknown tag {tag}"
            n = int.from_bytes(data[i:i + 4], "little")
            out.append(data[i + 4:i + 4 + n].decode())
            i += 4 + n
    return out


def test_empty_program():
    assert cp.compile("") == ([255], [])


def test_result_shape():
    ops, consts = cp.compile('print("a")')
    assert type(ops) is list and type(consts) is list
    assert all(type(x) is int for x in ops + consts)


@pytest.mark.parametrize("source, code, constants", [
    # literals: Ints in 32 bits are immediates, everything else a pool entry
    ("2147483647", "Push Pop Halt", []),
    ("2147483648", "_ Pop Halt", [2147483648]),
    ("9223372036854775807", "_ Pop Halt", [9223372036854775807]),
    ("true; false", "Push Pop Push Pop Halt", []),
    ("nil; nil", "_ Pop _ Pop Halt", [None, None]),
    ("1.5", "_ Pop Halt", [1.5]),
    ('"a"; "a"', "_ Pop _ Pop Halt", ["a", "a"]),
    ("-5", "Push Neg Pop Halt", []),
    # names: globals by a fresh String constant per use, locals by register
    ("x; x", "_ Pop _ Pop Halt", ["x", "x"]),
    ("let x = 1; x", "Push _ _ Pop Halt", []),
    ("let x; x", "_ _ _ Pop Halt", [None]),
    ("a.b; a.b", "_ _ _ Pop _ _ _ Pop Halt", ["a", "b", "a", "b"]),
    ("a[0]", "_ Push _ Pop Halt", ["a"]),
    # operators (no folding: the optimiser does not run here)
    ("1 + 2 * 3", "Push Push Push Mul Add Pop Halt", []),
    ("1 - 2 / 3 % 4 ** 5", "Push Push Push Div Push Push Pow Mod Sub Pop Halt", []),
    ("1 == 2; 1 != 2", "Push Push Eq Pop Push Push Ne Pop Halt", []),
    ("1 < 2; 1 <= 2; 1 > 2; 1 >= 2",
     "Push Push Lt Pop Push Push Le Pop Push Push Gt Pop Push Push Ge Pop Halt", []),
    ("a and b or c", "_ _ And _ Or Pop Halt", ["a", "b", "c"]),
    ("!a; not a", "_ Not Pop _ Not Pop Halt", ["a", "a"]),
    ("1 & 2", "Push Push Pop Pop _ Pop Halt", [None]),
    ("1 | 2; 1 ^ 2", "Push Push Pop Pop _ Pop Push Push Pop Pop _ Pop Halt", [None, None]),
    ("1 << 2; 1 >> 2", "Push Push Pop Pop _ Pop Push Push Pop Pop _ Pop Halt", [None, None]),
    # calls, collections, conditionals
    ("f(1, 2)", "_ Push Push _ Pop Halt", ["f"]),
    ("[1, 2, 3]", "Push Push Push _ Pop Halt", []),
    ("{a: 1, b: x}", "_ Push _ _ _ Pop Halt", ["a", "b", "x"]),
    ("c ? 1 : 2", "_ _ Push _ Push Pop Halt", ["c"]),
    # interpolation: all parts first, then n-1 Concat
    ('f"a{x}b"', "_ _ _ Concat Concat Pop Halt", ["a", "x", "b"]),
    ('f"{x}"', "_ Pop Halt", ["x"]),
    ('f""', "_ Pop Halt", [""]),
    # assignment to names
    ("x = (y = 3)", "Push Dup _ Dup _ Pop Halt", ["y", "x"]),
    ("let x = 1; x = 2", "Push _ Push Dup _ Pop Halt", []),
    # element assignment writes the container back (no value kept at statement level)
    ("let a = [1]; a[0] = 2", "Push _ _ _ Push Push _ _ Halt", []),
    # every key reload and the store into the root name append entries of their own
    ("a.k = 2", "_ _ Push _ _ Halt", ["a", "k", "a"]),
    ("a.p.q = 1", "_ Dup _ _ _ Push _ _ Swap _ _ Halt", ["a", "p", "q", "p", "a"]),
    ('a["p"]["q"] = 1', "_ Dup _ _ _ Push _ _ Swap _ _ Halt", ["a", "p", "q", "p", "a"]),
    ("f()[0] = 1", "_ _ Push Push _ Pop Halt", ["f"]),
])
def test_expression_shapes(source, code, constants):
    assert dis(source) == code
    assert pool(source) == constants


@pytest.mark.parametrize("source, code, constants", [
    ("let x = 1", "Push _ Halt", []),
    ("if c { a }", "_ _ _ Pop Halt", ["c", "a"]),
    ("if c { a } else { b }", "_ _ _ Pop _ _ Pop Halt", ["c", "a", "b"]),
    ("while c { a }", "_ _ _ Pop _ Halt", ["c", "a"]),
    ("while c { break; continue }", "_ _ _ _ _ Halt", ["c"]),
    # the state is tested for nil, not the element; the last Pop drops the final nil
    ("for x in xs { }", "_ _ _ _ _ Swap Dup _ _ Eq _ _ _ Pop Halt", ["xs", None]),
    ("match x { case 1: a case 2: b }",
     "_ Dup Push Eq _ Pop _ Pop _ Dup Push Eq _ Pop _ Pop _ Pop Halt", ["x", "a", "b"]),
    ("fn f(a) { a }", "Halt", []),
    ("return 1", "Push _ Halt", []),
    ("return;", "_ _ Halt", [None]),
    ("throw x", "Halt", []),
    ("try { a } catch e { b } finally { c }", "_ Pop _ Pop Halt", ["a", "c"]),
    ("let f = fn(x) x * 2", "_ _ Halt", ["<lambda>0"]),
])
def test_statement_shapes(source, code, constants):
    assert dis(source) == code
    assert pool(source) == constants


def test_function_bodies_and_lambda_names_share_one_table():
    # Entries are appended when a body is complete: <lambda>0 and <lambda>1
    # inside f, then inner, then f; the top-level lambda is the fifth.
    source = "fn f() { let g = fn() 1; fn inner() { return fn() 2 } }\nlet h = fn() 3"
    assert pool(source) == ["<lambda>4"]


def test_class_object_layout():
    source = "class P extends Q { let n = 1; let skipped; fn f(self) { self } fn g() { } }"
    assert dis(source) == "_ _ _ _ _ _ Push _ _ _ _ _ _ _ _ _ _ _ Halt"
    assert pool(source) == [
        "__type__", "class", "__name__", "P", "__fields__", "n", "__parent__", "Q",
        "__methods__", "f", "P.f", "g", "P.g", "P"]
    assert pool("class A { }") == [
        "__type__", "class", "__name__", "A", "__fields__", "__parent__", None, "__methods__", "A"]


@pytest.mark.parametrize("source, data", [
    ('"abc"', [4, 3, 0, 0, 0, 97, 98, 99]),
    ("4294967296", [2, 0, 0, 0, 0, 1, 0, 0, 0]),
    ("-1", []),
    ("1.0", [3] + list(struct.pack("<d", 1.0))),
    ("nil", [0]),
    ('"é"', [4, 2, 0, 0, 0, 0xC3, 0xA9]),
])
def test_constant_bytes(source, data):
    assert cp.compile(source)[1] == data


@pytest.mark.parametrize("source, message", [
    ("break", "Line 1: 'break' outside loop"),
    ("\n\ncontinue", "Line 3: 'continue' outside loop"),
    ("while c {\n  fn f() {\n    break\n  }\n}", "Line 3: 'break' outside loop"),
    ("match x { case 1: break }", "Line 1: 'break' outside loop"),
    ("let a = 1\na = b = c", "Line 2: Invalid assignment target"),
    ("1 = 2", "Line 1: Invalid assignment target"),
    ("f() = 2", "Line 1: Invalid assignment target"),
    ("a or b = c", "Line 1: Invalid assignment target"),
    ("fn f() {\n  let y = 1\n  y + 1 = 2\n}", "Line 3: Invalid assignment target"),
    ("let f = fn() (1 = 2)", "Line 1: Invalid assignment target"),
    ("print(1)\nif x { (a = 1) = 2 }", "Line 2: Invalid assignment target"),
])
def test_compile_errors(source, message):
    with pytest.raises(SyntaxError) as e:
        cp.compile(source)
    assert e.value.args == (message,)
    with pytest.raises(SyntaxError) as e:
        cp.compile_and_run(source)
    assert e.value.args == ("Compile error: " + message,)


def test_loop_statements_inside_loops_compile():
    assert cp.compile("while a { match x { case 1: break } }")
    assert cp.compile("for x in y { if x { continue } }")


@pytest.mark.parametrize("run, source, message", [
    (cp.compile, "x = 'ab", "Lexer error at 1:8: Unterminated string literal"),
    (cp.compile_and_run, "x = 'ab", "Lex error: Lexer error at 1:8: Unterminated string literal"),
    (cp.compile, "let 5", "ParseError at 1:5: Expected identifier"),
    (cp.compile_and_run, "let 5", "Parse error: ParseError at 1:5: Expected identifier"),
])
def test_front_end_errors_keep_their_messages(run, source, message):
    with pytest.raises(SyntaxError) as e:
        run(source)
    assert e.value.args == (message,)


LETS_300 = "".join(f"let v{i} = {i}\n" for i in range(300))
IFS_300 = 'print("ran")\n' + "".join(f"if true {{ let v{i} = {i} }}\n" for i in range(300))


@pytest.mark.parametrize("source, message", [
    (LETS_300, "Line 257: Too many local variables"),
    (IFS_300, "Line 258: Too many local variables"),
    ("fn f() {\n" + LETS_300 + "}", "Line 258: Too many local variables"),
    ("let f = fn(" + ", ".join(f"p{i}" for i in range(300)) + ") p299", "Line 1: Too many local variables"),
    # Element assignment keeps computed keys in hidden registers above the locals.
    ("".join(f"let v{i} = {i}\n" for i in range(256)) + "v0[f()][g()] = 1",
     "Line 257: Too many local variables"),
])
def test_too_many_registers_is_a_compile_error(source, message, capfd):
    with pytest.raises(SyntaxError) as e:
        cp.compile(source)
    assert e.value.args == (message,)
    with pytest.raises(SyntaxError) as e:
        cp.compile_and_run(source)
    assert e.value.args == ("Compile error: " + message,)
    assert capfd.readouterr().out == ""  # nothing ran


def test_unused_parameters_beyond_the_registers_are_fine():
    params = ", ".join(f"p{i}" for i in range(300))
    assert cp.compile_and_run(f"fn f({params}) {{ return p0 + p255 }}\nprint(f({', '.join(['1'] * 300)}))") == "nil"


def test_closed_scopes_give_their_registers_back(capfd):
    # Two slots a loop while it runs, one (the visible loop variable) after it.
    loops = "".join(f"for i in [{k}] {{ total = total + i }}\n" for k in range(250))
    assert cp.compile_and_run("total = 0\n" + loops + "print(total, i)") == "nil"
    assert capfd.readouterr().out == f"{sum(range(250))}249\n"
    # Locals of loop bodies and else branches are gone once the block closes.
    blocks = "".join(f"while n < {k + 1} {{ let a{k} = n; n = n + 1 }}\n"
                     f"if false {{ }} else {{ let b{k} = {k} }}\n" for k in range(300))
    assert cp.compile_and_run("n = 0\n" + blocks + "print(n)") == "nil"
    assert capfd.readouterr().out == "300\n"


def test_loop_variable_and_state_after_the_loop(capfd):
    # The loop variable stays visible; the next declaration takes the state's
    # slot without disturbing it.
    source = "for x in [1, 2] { }\nlet y = 5\nfor z in [3] { }\nprint(x, y, z)"
    assert cp.compile_and_run(source) == "nil"
    assert capfd.readouterr().out == "253\n"
