"""Calvex programs run through compile_and_run, checked by what they print.

`print` writes to file descriptor 1 (not sys.stdout), so output is captured
with capfd. Each program lists its expected output lines as `# expect: ...`
comments, in order."""
import signal
import subprocess
import sys
import time

import pytest

import calvex_parser as cp


def run(source, capfd):
    result = cp.compile_and_run(source)
    return result, capfd.readouterr().out


def expected_lines(source):
    return [line.split("# expect: ", 1)[1] for line in source.splitlines() if "# expect: " in line]


PROGRAMS = {
    "arithmetic": '''
print(1 + 2 * 3, " ", 7 / 2, " ", 6 / 3, " ", -7 % 3, " ", 7 % -3)   # expect: 7" "3.5" "2.0" "-1" "1
print(2 ** 3, " ", 2 ** -1, " ", 2 ** 3 ** 2)                        # expect: 8.0" "0.5" "64.0
print(0.1 + 0.2, " ", 5.5 % 2, " ", 1e21, " ", -0.0)                # expect: 0.30000000000000004" "1.5" "1000000000000000000000.0" "-0.0
print(9223372036854775807 + 1, " ", -(9223372036854775807) - 2)     # expect: 9223372036854775807" "-9223372036854775808
print(1 == 1.0, " ", 0.1 + 0.2 == 0.3, " ", [] == [], " ", nil == nil)  # expect: true" "true" "false" "true
print(1 < 1.5, " ", 2 >= 3, " ", -(-3))                             # expect: true" "false" "3
''',
    "strings_and_interpolation": '''
let name = "world"
let n = 3
print(f"hello {name}, {n + 1} times {[1, "a", [2]]} {nil} {true}")  # expect: "hello world, 4 times [1, a, [2]] nil 1"
print(f"{n}", " ", typeof(f"{n}"), " ", f"", " ", f"{{x}}")          # expect: 3" ""int"" """" ""{x}"
let o = {k: 1}
print(f"{o}")                                                        # expect: {object:1}
print(str(o), " ", str([]), " ", str({}))                            # expect: "{k: 1}"" ""[]"" ""{}"
''',
    "logic_has_no_short_circuit": '''
fn side(tag, v) { print(tag); v }
let r = side("a", false) and side("b", true)   # expect: "a"
                                              # expect: "b"
print(r)                                       # expect: false
let s = side("c", true) or side("d", false)    # expect: "c"
                                              # expect: "d"
print(s, " ", not 0, " ", !"x", " ", 0 or [], " ", {} and 1)  # expect: true" "true" "false" "false" "false
''',
    "bitwise_operators_give_nil": '''
fn side(v) { print(v); v }
print(side(6) & side(3), " ", 1 | 2, " ", 1 ^ 2, " ", 1 << 2, " ", 8 >> 1)  # expect: 6
                                                                            # expect: 3
                                                                            # expect: nil" "nil" "nil" "nil" "nil
''',
    "variables_and_globals": '''
let x = 1
y = 2
print(x + y)           # expect: 3
let x = x + 10
print(x)               # expect: 11
let g = g              # reads the global g (unset: nil), then declares the local
print(g)               # expect: nil
let z
print(z)               # expect: nil
q = (w = 3)
print(q, w)            # expect: 33
''',
    "if_else": '''
fn sign(n) {
    if n < 0 { return "neg" } else if n == 0 { return "zero" } else { return "pos" }
}
print(sign(-2), sign(0), sign(5))   # expect: "neg""zero""pos"
if nil { print("no") }
if "" { print("no") } else { print("empty string is falsy") }  # expect: "empty string is falsy"
if 0.0 / 1 { print("no") } else { print("zero is falsy") }     # expect: "zero is falsy"
''',
    "while_break_continue": '''
let i = 0
let total = 0
while true {
    i = i + 1
    if i > 10 { break }
    if i % 2 == 0 { continue }
    total = total + i
}
print(i, " ", total)   # expect: 11" "25
''',
    "for_loops": '''
for x in [1, 2, 3] { print(x) }   # expect: 1
                                 # expect: 2
                                 # expect: 3
for c in "héj" { print(c) }      # expect: "h"
                                 # expect: "é"
                                 # expect: "j"
for k in {b: 1, a: 2, c: 3} { print(k) }  # expect: "a"
                                          # expect: "b"
                                          # expect: "c"
print(x)                         # expect: 3
for x in [] { print("never") }
let seen = 0
for x in range(0, 10) {
    if x == 2 { continue }
    if x == 5 { break }
    seen = seen + x
}
print(seen)                      # expect: 8
for a in [1, 2] { for b in [10, 20] { print(a * b) } }  # expect: 10
                                                         # expect: 20
                                                         # expect: 20
                                                         # expect: 40
''',
    "for_visits_nil_elements": '''
let count = 0
for x in [1, nil, 3, nil] { print(x); count = count + 1 }  # expect: 1
                                                           # expect: nil
                                                           # expect: 3
                                                           # expect: nil
print(count)                                               # expect: 4
for x in [nil] { print("one nil") }                        # expect: "one nil"
''',
    "match": '''
fn name(n) {
    match n {
        case 1: return "one"
        case 2 { return "two" }
        case 3
    }
    return "other"
}
print(name(1), name(2), name(3), name(4))   # expect: "one""two""other""other"
let i = 0
while i < 10 {
    match i { case 3: break }
    i = i + 1
}
print(i)   # expect: 3
match "x" { case "y": print("no") }
print("after")   # expect: "after"
''',
    "functions": '''
fn add(a, b) { return a + b }
print(add(2, 3), " ", add(1, 2, 99))   # expect: 5" "3
fn second(a, b) { b }
print(second(1))                       # expect: nil
fn last() { 1; 2; 3 }
print(last())                          # expect: 3
fn nothing() { return }
print(nothing(), " ", add)             # expect: nil" "<function add>
fn fact(n) { if n <= 1 { return 1 } return n * fact(n - 1) }
print(fact(20))                        # expect: 2432902008176640000
fn dup() { return 1 }
fn dup() { return 2 }
print(dup())                           # expect: 2
print(undefined_function(1), " ", (5)(1))  # expect: nil" "nil
''',
    "top_level_let_is_local_to_the_top_level": '''
let v = "top"
fn read() { return v }
fn write() { v = "global" }
print(read())   # expect: nil
write()
print(read())   # expect: "global"
print(v)        # expect: "top"
''',
    "lambdas": '''
let sq = fn(x) x * x
print(sq(4), " ", sq)                  # expect: 16" "<function <lambda>0>
let add = fn(a, b = 10) { a + b }
print(add(1, 2))                       # expect: 3
fn maker() { return fn(x) x + 1 }
fn maker2() { return fn(x) x + 2 }
let f = maker()
let g = maker2()
print(f(1), g(1), " ", f, " ", g)      # expect: 23" "<function <lambda>2>" "<function <lambda>4>
fn apply(h, v) { return h(v) }
print(apply(fn(s) f"<{s}>", "x"))      # expect: "<x>"
''',
    "nested_functions_go_into_the_program_table": '''
fn outer() {
    fn inner(x) { return x * 2 }
    return inner(21)
}
print(outer())   # expect: 42
print(inner(1))  # expect: 2
''',
    "classes_and_methods": '''
class Point {
    let kind = "point"
    fn norm2(self) { return self.x * self.x + self.y * self.y }
    fn scaled(self, k) { return {__class__: "Point", x: self.x * k, y: self.y * k} }
}
let p = {__class__: "Point", x: 3, y: 4}
print(p.norm2())                      # expect: 25
print(p.scaled(2).norm2())            # expect: 100
print(Point.__type__, Point.__name__, Point.__parent__, Point.__fields__.kind)  # expect: "class""Point"nil"point"
print(Point.__methods__.norm2, " ", p.norm2, " ", typeof(p.norm2))  # expect: "Point.norm2"" "<method Point.norm2>" ""function"
print(p.missing)                      # expect: nil
scene Animal { fn speak(self) { return f"{self.name} makes a sound" } fn kind(self) { return "animal" } }
class Dog extends Animal { fn kind(self) { return "dog" } }
let d = {__class__: "Dog", name: "Rex"}
print(d.speak(), " ", d.kind())       # expect: "Rex makes a sound"" ""dog"
print(Dog.__parent__)                 # expect: "Animal"
''',
    "methods_bind_the_object_the_lookup_started_from": '''
class Base { fn who(self) { return self.tag } }
class Mid extends Base { }
class Leaf extends Mid { }
print({__class__: "Leaf", tag: "leaf"}.who())   # expect: "leaf"
''',
    "method_lookup_ends_on_a_parent_cycle": '''
class A extends B { }
class B extends A { fn h(self) { return "h" } }
class C extends C { }
let a = {__class__: "A"}
print(a.missing, " ", a.h(), " ", {__class__: "C"}.m)   # expect: nil" ""h"" "nil
print(a.missing())                                      # expect: nil
''',
    # A skipped declaration leaves its register as the call set it up: the
    # receiver is register 0 even of a method that names no parameter.
    "receiver_fills_register_0": '''
class A { fn me() { if false { let r = 0 } return r } fn one(self) { if false { let r = 0 } return r } }
let o = {__class__: "A", tag: 7}
print(o.me().tag, " ", o.one(5))        # expect: 7" "nil
fn plain() { if false { let r = 0 } return r }
print(plain(5))                         # expect: nil
''',
    "element_assignment_reaches_the_variable": '''
let a = [1, 2, 3]
a[0] = 10
a[-1] = 30
a[7] = 99
print(str(a))                  # expect: "[10, 2, 30]"
let o = {p: {q: 1}}
o.p.q = 5
o.p.r = [0, 0]
o.p.r[1] = 7
print(o.p.q, " ", str(o.p.r))  # expect: 5" ""[0, 7]"
o[1] = "int key"
print(o["1"])                  # expect: "int key"
g = [[1, 2], [3, 4]]
g[1][0] = 9
print(str(g))                  # expect: "[[1, 2], [9, 4]]"
fn set_first(arr, v) { arr[0] = v; arr }
let b = set_first([0, 0], 5)
print(str(b))                  # expect: "[5, 0]"
let c = b
c[1] = 6
print(str(b), str(c))          # expect: "[5, 0]""[5, 6]"
fn make() { return [1] }
make()[0] = 2
''',
    "element_assignment_value_and_order": '''
fn k() { print("key"); return 0 }
fn v() { print("value"); return 42 }
let a = [0]
print(a[k()] = v())        # expect: "key"
                           # expect: "value"
                           # expect: 42
print(str(a))              # expect: "[42]"
let m = [[0, 0], [0, 0]]
i = 0
fn next() { i = i + 1; return i }
m[1][next() - 1] = 5
print(str(m), " ", (m[0][1] = 3) + 1, " ", str(m))   # expect: "[[0, 0], [5, 0]]"" "4" ""[[0, 3], [5, 0]]"
print((make()[0] = "x"))   # expect: "x"
fn make() { return [1] }
fn in_function(arr) { arr[1] = "last" }
print(in_function([1, 2]))  # expect: "last"
''',
    "nested_scopes_do_not_share_registers": '''
let x = "outer"
let i = 0
while i < 2 {
    let y = "loop"
    print(x)
    i = i + 1
}
if false { } else { let z = "else"; print(x) }
for e in [1] { let w = "for"; print(x, i) }
print(x)
fn f(a) {
    let n = 0
    while n < 1 { let b = "inner"; print(a); n = n + 1 }
    return a
}
print(f("param"))
''' + "# expect: \"outer\"\n" * 3 + "# expect: \"outer\"2\n# expect: \"outer\"\n"
      + "# expect: \"param\"\n# expect: \"param\"\n",
    "try_runs_body_and_finally": '''
try { print("body") } catch e { print("catch") } finally { print("finally") }  # expect: "body"
                                                                                 # expect: "finally"
try { let t = 1; print(t) } catch (e) { }   # expect: 1
throw "ignored"
print("still here")                          # expect: "still here"
''',
    "loops_in_functions_drop_statement_values": '''
fn count(n) { let i = 0; while i < n { i = i + 1; i * 2 } }
print(count(100000))    # expect: nil
fn each(xs) { for x in xs { x } }
print(each([1, 2]))     # expect: nil
fn after_loop() { let i = 0; while i < 3 { i = i + 1 } i + 100 }
print(after_loop())     # expect: 103
''',
    "print_formats": '''
print(1, "a")               # expect: 1"a"
print()                     # expect: 
print([1, 2], {a: 1}, nil, true, 1 < 2, 2.0, print)  # expect: [array:2]{object:1}nil1true2.0<function print>
''',
}


@pytest.mark.parametrize("name", list(PROGRAMS))
def test_program(name, capfd):
    source = PROGRAMS[name]
    result, out = run(source, capfd)
    assert result == "nil"
    assert out.splitlines() == expected_lines(source)


# ---- built-in functions: one row per table entry -----------------------------

@pytest.mark.parametrize("expr, shown", [
    ('str(nil)', '"nil"'), ('str(1.0)', '"1.0"'), ('str([1, "a", [2]])', '"[1, a, [2]]"'),
    ('str(str)', '"<function str>"'),
    ('len("héllo")', '6'), ('len([1, 2])', '2'), ('len({a: 1})', '1'), ('len(5)', '0'), ('len()', '0'),
    ('int(true)', '1'), ('int(3.99)', '3'), ('int(-3.99)', '-3'), ('int("42")', '42'),
    ('int(" 42")', '0'), ('int("4.2")', '0'), ('int("-7")', '-7'), ('int("+7")', '7'),
    ('int(1e300)', '9223372036854775807'), ('int(-1e300)', '-9223372036854775808'),
    ('int(float("NaN"))', '0'), ('int("99999999999999999999")', '0'), ('int(nil)', '0'),
    ('float("1e3")', '1000.0'), ('float("abc")', '0.0'), ('float(true)', '1.0'), ('float(2)', '2.0'),
    ('float("inf")', 'inf'), ('float(2.5)', '2.5'), ('float([])', '0.0'),
    ('typeof(nil)', '"nil"'), ('typeof(1 < 2)', '"bool"'), ('typeof(true)', '"int"'), ('typeof(1)', '"int"'),
    ('typeof(1.5)', '"float"'), ('typeof("s")', '"string"'), ('typeof([])', '"array"'),
    ('typeof({})', '"object"'), ('typeof(print)', '"function"'), ('typeof(fn() 1)', '"function"'),
    ('abs(-5)', '5'), ('abs(-2.5)', '2.5'), ('abs("s")', '"s"'),
    ('abs(-9223372036854775807 - 1)', '-9223372036854775808'),
    ('min(1, 2.5)', '1.0'), ('min(3, 2)', '2'), ('max(3, 2)', '3'), ('max("b", "a")', '"b"'),
    ('min("b", "a")', '"a"'), ('min(1, "a")', 'nil'), ('min(float("NaN"), 1.5)', '1.5'),
    ('max(1, 2.5)', '2.5'),
    ('pow(2, 10)', '1024.0'), ('pow("a", "b")', '1.0'), ('pow(4, 0.5)', '2.0'),
    ('sqrt(16)', '4.0'), ('sqrt(-1)', 'NaN'), ('sqrt("x")', '0.0'),
    ('sin(0)', '0.0'), ('cos(0)', '1.0'), ('sin("x")', '0.0'), ('cos(nil)', '0.0'),
    ('round(2.5)', '3.0'), ('round(-2.5)', '-3.0'), ('round(3.14159, 2)', '3.14'), ('round(7)', '7.0'),
    ('round(1234.5678, -2)', '1200.0'), ('round(2.5, "x")', '3.0'), ('round("x")', '0.0'),
    ('str(range(2, 5))', '"[2, 3, 4]"'), ('str(range(5))', '"[]"'), ('str(range(-2))', '"[-2, -1]"'),
    ('str(range("a", 2))', '"[0, 1]"'),
])
def test_builtin(expr, shown, capfd):
    result, out = run(f"print({expr})", capfd)
    assert (result, out) == ("nil", shown + "\n")


def test_clock_and_rand(capfd):
    source = """
print(typeof(clock()), clock() > 1600000000.0)
let i = 0
let ok = true
while i < 200 {
    let a = rand(); let b = rand(10); let c = rand(5, 10)
    ok = ok and a >= 0 and a < 1 and b >= 0 and b < 10 and c >= 5 and c < 10
    i = i + 1
}
print(ok, typeof(rand()))
"""
    assert run(source, capfd) == ("nil", '"float"true\ntrue"float"\n')


@pytest.mark.parametrize("stdin, shown", [
    (b"hello\r\n", '"> ""hello"\n'),
    (b"two\nlines\n", '"> ""two"\n'),
    (b"", '"> """\n'),
])
def test_input_reads_the_process_stdin(stdin, shown):
    code = "import calvex_parser as cp; cp.compile_and_run('print(input(\"> \"))')"
    done = subprocess.run([sys.executable, "-c", code], input=stdin, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == shown


# ---- run-time errors -----------------------------------------------------------

@pytest.mark.parametrize("source, result", [
    ("let a = 1\nlet b = a + nil", "Runtime error: Line 2: Type error: cannot apply add to int and nil"),
    ("return 1", "Runtime error: Line 1: Return without matching call"),
    ("print(1 / 0)", "Runtime error: Line 1: Division by zero"),
    ('"s"[0]', "Runtime error: Line 1: Invalid index operation"),
    ("for x in 5 { }", "Runtime error: Line 1: Type error: cannot iterate over value"),
    ("fn f(x) {\n  return x < \"a\"\n}\nf(1)", "Runtime error: Line 2: Type error: expected number"),
    # the optimiser folds line 1 to one instruction; later lines must still be right
    ("let x = 1 + 2 + 3 * 4\nlet y = --x\nlet z = x + nil",
     "Runtime error: Line 3: Type error: cannot apply add to int and nil"),
    ("while true { break\nprint(1) }\nnil + 1",
     "Runtime error: Line 3: Type error: cannot apply add to nil and int"),
    # a lambda's body carries the line of the statement holding it
    ("\n\nlet f = fn(x) x + nil\nf(1)", "Runtime error: Line 3: Type error: cannot apply add to int and nil"),
])
def test_runtime_errors(source, result, capfd):
    assert run(source, capfd) == (result, "")


def test_output_before_a_runtime_error_is_kept(capfd):
    assert run('print("a")\nprint(1 - "b")', capfd) == (
        "Runtime error: Line 2: Type error: cannot apply sub to int and string", '"a"\n')


def test_deep_recursion_is_an_error(capfd):
    result, _ = run("fn down(n) { return down(n + 1) }\ndown(0)", capfd)
    assert result.startswith("Runtime error: Line 1: Stack overflow")


def test_deeply_nested_values(capfd):
    source = """
let a = []
let i = 0
while i < 200000 { a = [a]; i = i + 1 }
print(a)
print(len(str(a)))
"""
    assert run(source, capfd) == ("nil", "[array:1]\n400002\n")


def test_huge_allocation_is_memory_error_or_runtime_error():
    try:
        result = cp.compile_and_run("range(0, 9223372036854775807)")
    except MemoryError:
        return
    assert result.startswith("Runtime error: ")


def test_interrupt_stops_an_endless_loop():
    # The run holds the interpreter lock throughout, so no thread of this
    # process could send the signal; a child process runs the endless loop
    # (a broken interrupt check then fails the test instead of hanging it).
    code = (
        "import calvex_parser as cp\n"
        "try:\n"
        "    print('ready', flush=True)\n"
        "    cp.compile_and_run('while true { }')\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert out == "interrupted\n"


def test_signal_handler_exception_propagates():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("from handler")

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(Stop):
            cp.compile_and_run("fn spin(n) { while n < 2000000000 { n = n + 1 } }\nspin(0)")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
