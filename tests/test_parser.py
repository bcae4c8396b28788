"""The parser: syntax trees as host dictionaries, parse errors, entry points."""
import pytest
from hypothesis import given, settings, strategies as st

import calvex_parser as cp


# ---- builders for expected trees ---------------------------------------------------
# Each builder inserts keys in the order the parser must produce them; `shape`
# turns a tree into nested (key, value) lists so comparisons also check order.

def shape(node):
    if isinstance(node, dict):
        return [(k, shape(v)) for k, v in node.items()]
    if isinstance(node, list):
        return [shape(v) for v in node]
    return (type(node).__name__, node)


def _e(x):
    """Identifiers as bare str, numbers/bools/None as literals, dicts as given."""
    if isinstance(x, dict):
        return x
    if isinstance(x, str):
        return {"type": "Identifier", "name": x}
    return lit(x)


def lit(v):
    return {"type": "Literal", "value": v}


def bop(op, left, right):
    return {"type": "BinaryOp", "left": _e(left), "op": op, "right": _e(right)}


def uop(op, operand):
    return {"type": "UnaryOp", "op": op, "operand": _e(operand)}


def call(callee, *args):
    return {"type": "Call", "callee": _e(callee), "args": [_e(a) for a in args]}


def index(obj, i):
    return {"type": "Index", "object": _e(obj), "index": _e(i)}


def member(obj, prop):
    return {"type": "Member", "object": _e(obj), "property": prop}


def ternary(c, t, e):
    return {"type": "Ternary", "condition": _e(c), "then_expr": _e(t), "else_expr": _e(e)}


def propagate(x):
    return {"type": "Propagate", "expr": _e(x)}


def array(*xs):
    return {"type": "Array", "elements": [_e(x) for x in xs]}


def obj(*pairs):
    return {"type": "Object", "properties": {k: _e(v) for k, v in pairs}}


def hint(name):
    return {"name": name, "nullable": False, "generics": []}


def param(name, type_hint=None, default=None):
    d = {"name": name}
    if type_hint is not None:
        d["type_hint"] = hint(type_hint)
    if default is not None:
        d["default"] = _e(default)
    return d


def lam(params, body):
    return {"type": "Lambda", "params": params, "body": _e(body)}


def yield_(value=None):
    return {"type": "Yield", "value": None if value is None else _e(value)}


def es(x):
    return {"type": "ExprStatement", "expression": _e(x)}


def var(name, mutable=True, init=None, type_hint=None):
    d = {"type": "VarDecl", "name": name, "mutable": mutable}
    if init is not None:
        d["init"] = _e(init)
    if type_hint is not None:
        d["type_hint"] = hint(type_hint)
    return d


def fn(name, params, body, return_type=None):
    d = {"type": "FunctionDef", "name": name, "is_async": False, "params": params, "body": body}
    if return_type is not None:
        d["return_type"] = hint(return_type)
    return d


def cls(name, body, extends=None):
    d = {"type": "ClassDef", "name": name}
    if extends is not None:
        d["extends"] = extends
    d["body"] = body
    return d


def if_(cond, then_body, else_body=None):
    d = {"type": "If", "condition": _e(cond), "then_body": then_body}
    if else_body is not None:
        d["else_body"] = else_body
    return d


def ret(value=None):
    return {"type": "Return"} if value is None else {"type": "Return", "value": _e(value)}


def switch(subject, *cases):
    return {"type": "Switch", "expr": _e(subject), "cases": list(cases)}


def case(value, body):
    return {"expr": None if value is None else _e(value), "body": body}


def program(*stmts):
    return {"type": "Program", "statements": list(stmts)}


def parse(source):
    return cp.parse_tokens(cp.lex(source))


def parse_error(source_or_tokens):
    """The unprefixed rendered error of a source text or a token list.

    Source goes through `compile`, which hands the lexer's tokens to the parser
    directly: several kinds (`SlashSlash`, `Null`, the type keywords...) do not
    survive the trip through token dictionaries."""
    with pytest.raises(SyntaxError) as exc:
        if isinstance(source_or_tokens, str):
            cp.compile(source_or_tokens)
        else:
            cp.PyParser.parse_tokens(source_or_tokens)
    return exc.value.args[0]


def tok(token_type, value="", **pos):
    return {"token_type": token_type, "value": value, **pos}


# ---- expressions -----------------------------------------------------------------------

@pytest.mark.parametrize("source, expected", [
    # precedence and associativity
    ("1 + 2 * 3 ** 2", bop("Add", 1, bop("Mul", 2, bop("Power", 3, 2)))),
    ("2 ** 3 ** 2", bop("Power", bop("Power", 2, 3), 2)),
    ("a = b = c", bop("Assign", bop("Assign", "a", "b"), "c")),
    ("a or b = c", bop("Assign", bop("Or", "a", "b"), "c")),
    ("a || b && c", bop("Or", "a", bop("And", "b", "c"))),
    ("a == b < c | d ^ e & f << g - h % i",
     bop("Eq", "a", bop("Lt", "b", bop("BitwiseOr", "c", bop("BitwiseXor", "d", bop(
         "BitwiseAnd", "e", bop("LeftShift", "f", bop("Sub", "g", bop("Mod", "h", "i"))))))))),
    ("a != b >= c > d <= e", bop("Neq", "a", bop("Lte", bop("Gt", bop("Gte", "b", "c"), "d"), "e"))),
    ("a >> b / c", bop("RightShift", "a", bop("Div", "b", "c"))),
    ("(a + b) * c", bop("Mul", bop("Add", "a", "b"), "c")),
    # prefixes: tighter than binary operators, looser than postfix
    ("-2 ** 2", bop("Power", uop("Neg", 2), 2)),
    ("- - x", uop("Neg", uop("Neg", "x"))),
    ("!-x", uop("Not", uop("Neg", "x"))),
    ("not a and b", bop("And", uop("Not", "a"), "b")),
    ("-a.b(c)[0]", uop("Neg", index(call(member("a", "b"), "c"), 0))),
    # postfix chains and literals
    ("f(a, b,)", call("f", "a", "b")),
    ("f()(1)", call(call("f"), 1)),
    ("[1, 2.5, 's', true, nil,]", array(1, 2.5, lit("s"), "true", None)),  # "Bool" reads back as a name
    ("[]", array()),
    ("''", lit("")),
    ("{a: 1, b: 2,}", obj(("a", 1), ("b", 2))),
    ("{}", obj()),
    # conditional versus propagation
    ("a ? b : c", ternary("a", "b", "c")),
    ("a ? (b) : c", ternary("a", "b", "c")),
    ("a ? -1 : 1", ternary("a", uop("Neg", 1), 1)),
    ("a ? b : c ? d : e", ternary("a", "b", ternary("c", "d", "e"))),
    ("a ? [b] : !c", ternary("a", array("b"), uop("Not", "c"))),
    ("f()?", propagate(call("f"))),
    ("x = a + b?", propagate(bop("Assign", "x", bop("Add", "a", "b")))),
    # the comptime block vanishes
    ("comptime { anything here { nested } }", "comptime"),
    ("comptime { a } { b }(1)", call("comptime", 1)),
    ("(comptime) { x }", "comptime"),
    ("comptime { a", "comptime"),
])
def test_expression_trees(source, expected):
    assert shape(parse(source)) == shape(program(es(expected)))


@pytest.mark.parametrize("source, expected", [
    ("fn(x, y = 2) x + y", lam([param("x"), param("y", default=2)], bop("Add", "x", "y"))),
    ("fn(x) { x * 2 }", lam([param("x")], bop("Mul", "x", 2))),
    ("fn(a: Num, b: [T] = [],) a", lam([param("a", "Num"), param("b", "T[]", array())], "a")),
    ("fn() fn() 1", lam([], lam([], 1))),
])
def test_lambdas(source, expected):
    assert shape(parse("let f = " + source)) == shape(program(var("f", init=expected)))


def test_object_repeated_key_keeps_first_position_and_last_value():
    tree = parse("{a: 1, b: 2, a: 3}")
    props = tree["statements"][0]["expression"]["properties"]
    assert list(props.items()) == [("a", lit(3)), ("b", lit(2))]


@pytest.mark.parametrize("source, message", [
    ("x // 2", "ParseError at 1:3: Unexpected token: SlashSlash"),
    ("f(a // b)", "ParseError at 1:5: Expected RightParen, found SlashSlash"),
    ("f(,)", "ParseError at 1:3: Unexpected token: Comma"),
    ("f(a b)", 'ParseError at 1:5: Expected RightParen, found Identifier("b")'),
    ("a[1", "ParseError at 1:4: Expected RightBracket, found Eof"),
    ("a.1", "ParseError at 1:3: Expected identifier"),
    ("a.if", "ParseError at 1:3: Expected identifier"),
    ('{"a": 1}', "ParseError at 1:2: Expected identifier"),
    ("{a 1}", "ParseError at 1:4: Expected Colon, found Int(1)"),
    ("a ? b 1", "ParseError at 1:7: Expected Colon, found Int(1)"),
    ("a ? { x: 1 } : b", "ParseError at 1:14: Unexpected token: Colon"),
    ("let f = fn(x) { return x }", "ParseError at 1:17: Unexpected token: Return"),
    ("let f = fn x", "ParseError at 1:12: Expected LeftParen, found Identifier(\"x\")"),
    ("let f = fn(1) x", "ParseError at 1:12: Expected identifier"),
    ("let f = fn(x) -> Num x", "ParseError at 1:15: Unexpected token: Arrow"),
    ("null", "ParseError at 1:1: Unexpected token: Null"),
    ("+1", "ParseError at 1:1: Unexpected token: Plus"),
    ("~1", "ParseError at 1:1: Unexpected token: BitwiseNot"),
    ("a ? +1 : 2", "ParseError at 1:5: Unexpected token: Plus"),
    ("bool(x)", "ParseError at 1:1: Unexpected token: BoolType"),
    ("string", "ParseError at 1:1: Unexpected token: StringType"),
    ("void", "ParseError at 1:1: Unexpected token: VoidType"),
    ("await x", "ParseError at 1:1: Unexpected token: Await"),
    ("on_start", "ParseError at 1:1: Unexpected token: OnStart"),
    ("(x) => x + 1", "ParseError at 1:5: Unexpected token: FatArrow"),
    ("a?.b", "ParseError at 1:2: Unexpected token: QuestionDot"),
    ("a ?? b", "ParseError at 1:3: Unexpected token: Nullish"),
    ("a |> f", "ParseError at 1:3: Unexpected token: PipeGt"),
    ("0..3", "ParseError at 1:2: Unexpected token: DotDot"),
    ("x\n  +", "ParseError at 2:4: Unexpected token: Eof"),
    ("'a\\tb\"' +", "ParseError at 1:10: Unexpected token: Eof"),
    ("f('q\\n\"' 2.5)", 'ParseError at 1:10: Expected RightParen, found Float(2.5)'),
    ("f('q\\n\"' 'z\\\\')", 'ParseError at 1:10: Expected RightParen, found String("z\\\\")'),
    ("f(1 true)", "ParseError at 1:5: Expected RightParen, found Bool(true)"),
])
def test_expression_errors(source, message):
    assert parse_error(source) == message


# ---- statements ---------------------------------------------------------------------------

@pytest.mark.parametrize("source, expected", [
    ("", []),
    ("let x = 1; const y: Point[] = [x]",
     [var("x", init=1), var("y", mutable=False, init=array("x"), type_hint="Point[]")]),
    ("let t: [[T]]", [var("t", type_hint="T[][]")]),
    ("let t: [P]; let u: P", [var("t", type_hint="P[]"), var("u", type_hint="P")]),
    ("let [a, b] = pair", [var("")]),
    ("const [] ;", [var("", mutable=False)]),
    ("x = x + 1", [es(bop("Assign", "x", bop("Add", "x", 1)))]),
    ("a; b c", [es("a"), es("b"), es("c")]),
    ("import math", [es("import"), es("math")]),
    ("if a { b } else if c { d } else { e }",
     [if_("a", [es("b")], [if_("c", [es("d")], [es("e")])])]),
    ("if (a) { } else { }", [if_("a", [], [])]),
    ("if a { }", [if_("a", [])]),
    ("while a < 3 { a = a + 1 }", [{"type": "While", "condition": bop("Lt", "a", 3),
                                   "body": [es(bop("Assign", "a", bop("Add", "a", 1)))]}]),
    ("for i in xs { break; continue }", [{"type": "For", "target": "i", "iter": _e("xs"),
                                          "body": [{"type": "Break"}, {"type": "Continue"}]}]),
    ("fn f() { return; } fn g() { return } fn h() { return 1 }",
     [fn("f", [], [ret()]), fn("g", [], [ret()]), fn("h", [], [ret(1)])]),
    ("fn* gen(a, b,) -> Num { yield a }",
     [fn("gen", [param("a"), param("b")], [es(yield_("a"))], return_type="Num")]),
    ("fn f(a: T[], b = 1) { yield; yield }",
     [fn("f", [param("a", "T[]"), param("b", default=1)], [es(yield_()), es(yield_())])]),
    ("throw e; throw f", [{"type": "Throw", "expr": _e("e")}, {"type": "Throw", "expr": _e("f")}]),
    ("class A<T> extends B { fn f() { } x: Num = 3 g() { } }",
     [cls("A", [fn("f", [], []), var("x", type_hint="Num")], extends="B")]),
    ("struct P { let a = 1 const b y }",
     [cls("P", [var("a", init=1), var("b", mutable=False), var("y")])]),
    ("class A<B<C>, D> { m(a, b) -> T[] { if x { } } n { } k(x) }", [cls("A", [])]),
    ("scene S { }", [cls("S", [])]),
    ("enum Color { Red Green Blue(v: Num, w) }",
     [cls("Color", [var("Red", mutable=False), var("Green", mutable=False), var("Blue", mutable=False)])]),
    ("match x { case 1: a case 2 { b } case 3 }",
     [switch("x", case(1, [es("a")]), case(2, [es("b")]), case(3, []))]),
    ("match x { case 1, 2: a; b case y => { c } }",
     [switch("x", case(1, [es("a"), es("b")]), case("y", [es("c")]))]),
    ("match x { }", [switch("x")]),
    ("try { a } catch e { b } catch (f) { c } finally { d }",
     [{"type": "Try", "body": [es("a")],
       "catch_clauses": [{"exception": "e", "body": [es("b")]}, {"exception": "f", "body": [es("c")]}],
       "finally_body": [es("d")]}]),
    ("try { } ", [{"type": "Try", "body": [], "catch_clauses": []}]),
])
def test_statement_trees(source, expected):
    assert shape(parse(source)) == shape(program(*expected))


@pytest.mark.parametrize("source, message", [
    ("let x: int = 1", "ParseError at 1:8: Expected identifier"),
    ("let 1", "ParseError at 1:5: Expected identifier"),
    ("let [a b] = c", 'ParseError at 1:8: Expected RightBracket, found Identifier("b")'),
    ("x += 1", "ParseError at 1:3: Unexpected token: PlusEq"),
    ("x++", "ParseError at 1:2: Unexpected token: PlusPlus"),
    ("if a { b };", "ParseError at 1:11: Unexpected token: Semicolon"),
    (";", "ParseError at 1:1: Unexpected token: Semicolon"),
    ("if a b", 'ParseError at 1:6: Expected LeftBrace, found Identifier("b")'),
    ("if a { b", "ParseError at 1:9: Expected RightBrace, found Eof"),
    ("if a { } else b", 'ParseError at 1:15: Expected LeftBrace, found Identifier("b")'),
    ("for (i in xs) { }", "ParseError at 1:5: Expected identifier"),
    ("for i in 0..3 { }", "ParseError at 1:11: Expected LeftBrace, found DotDot"),
    ("for i xs { }", 'ParseError at 1:7: Expected In, found Identifier("xs")'),
    ("class A { x: int = 3 }", "ParseError at 1:14: Expected identifier"),
    ("class A { x = }", "ParseError at 1:15: Unexpected token: RightBrace"),
    ("class A<B<T>> { }", "ParseError at 1:18: Expected LeftBrace, found Eof"),
    ("class A extends { }", "ParseError at 1:17: Expected identifier"),
    ("class A { 1 }", "ParseError at 1:11: Expected identifier"),
    ("class A { x; }", "ParseError at 1:12: Expected identifier"),
    ("enum Color { Red, Green }", "ParseError at 1:17: Expected identifier"),
    ("enum E { A(x y) }", 'ParseError at 1:14: Expected RightParen, found Identifier("y")'),
    ("match x { case 1 { a } default: b }", 'ParseError at 1:24: Expected RightBrace, found Identifier("default")'),
    ("match x { case 1: a default: b }", "ParseError at 1:28: Unexpected token: Colon"),
    ("match x { 1 }", "ParseError at 1:11: Expected RightBrace, found Int(1)"),
    ("match x { case 1 {", "ParseError at 1:19: Expected RightBrace, found Eof"),
    ("try { a } catch { b }", "ParseError at 1:17: Expected identifier"),
    ("try { a } catch (e { b }", "ParseError at 1:20: Expected RightParen, found LeftBrace"),
    ("try a", 'ParseError at 1:5: Expected LeftBrace, found Identifier("a")'),
    ("return", "ParseError at 1:7: Unexpected token: Eof"),
    ("yield", "ParseError at 1:6: Unexpected token: Eof"),
    ("fn(x) x", "ParseError at 1:3: Expected identifier"),
    ("fn f(x) -> [int] { }", "ParseError at 1:13: Expected identifier"),
    ("fn f(x) x", 'ParseError at 1:9: Expected LeftBrace, found Identifier("x")'),
    ("fn f { }", "ParseError at 1:6: Expected LeftParen, found LeftBrace"),
    ("fn f() -> T[ { }", "ParseError at 1:12: Expected LeftBrace, found LeftBracket"),
    ("async fn f() { }", "ParseError at 1:1: Unexpected token: Async"),
    ("@dec", "ParseError at 1:1: Unexpected token: At"),
    ("while x {\n  let y =\n}", "ParseError at 3:1: Unexpected token: RightBrace"),
    # unclosed skips stop at the end of the input
    ("class A { g(", "ParseError at 1:13: Expected RightParen, found Eof"),
    ("class A { g(a, b", "ParseError at 1:17: Expected RightParen, found Eof"),
    ("class A { g() { {", "ParseError at 1:18: Expected RightBrace, found Eof"),
    ("class A<T", "ParseError at 1:10: Expected LeftBrace, found Eof"),
    ("match x { case 1 2 3", "ParseError at 1:21: Expected RightBrace, found Eof"),
])
def test_statement_errors(source, message):
    assert parse_error(source) == message


# ---- the host's view: key order, absent values, entry points ---------------------------------

def test_absent_values_follow_three_rules():
    tree = parse("let v\nfn f(a) { return }\nclass C { }\nif a { }\ntry { }\n"
                 "match x { case 1: yield }")
    v, f, c, i, t, m = tree["statements"]
    assert list(v) == ["type", "name", "mutable"]
    assert list(f) == ["type", "name", "is_async", "params", "body"]
    assert list(f["params"][0]) == ["name"]
    assert list(f["body"][0]) == ["type"]
    assert list(c) == ["type", "name", "body"]
    assert list(i) == ["type", "condition", "then_body"]
    assert list(t) == ["type", "body", "catch_clauses"]
    assert m["cases"][0]["body"][0]["expression"] == {"type": "Yield", "value": None}


def test_present_optionals_keep_documented_order():
    tree = parse("let v: T = 1\nfn f(a: A = 1) -> R { }\nclass C extends D { }\n"
                 "if a { } else { }\ntry { } finally { }")
    v, f, c, i, t = tree["statements"]
    assert list(v) == ["type", "name", "mutable", "init", "type_hint"]
    assert list(f) == ["type", "name", "is_async", "params", "body", "return_type"]
    assert list(f["params"][0]) == ["name", "type_hint", "default"]
    assert list(f["return_type"]) == ["name", "nullable", "generics"]
    assert list(c) == ["type", "name", "extends", "body"]
    assert list(i) == ["type", "condition", "then_body", "else_body"]
    assert list(t) == ["type", "body", "catch_clauses", "finally_body"]


def test_value_types():
    tree = parse("[1, 1.0, 'x', nil]")
    values = [e["value"] for e in tree["statements"][0]["expression"]["elements"]]
    assert [type(v) for v in values] == [int, float, str, type(None)]
    tree = cp.parse_tokens([tok("True"), tok("Eof")])
    assert tree["statements"][0]["expression"]["value"] is True


@pytest.mark.parametrize("tokens", [[], [tok("Eof")], [tok("Eof"), tok("Ident", "x")],
                                    [tok("Eof"), tok("RBrace")]])
def test_empty_programs(tokens):
    for entry in (cp.parse_tokens, cp.PyParser.parse_tokens, lambda t: cp.PyParser(t).parse()):
        assert entry(tokens) == program()


def test_tokens_after_first_eof_are_ignored():
    tokens = cp.lex("a")[:-1] + [tok("Eof"), tok("Plus")] + cp.lex("b")
    assert cp.parse_tokens(tokens) == parse("a")


def test_error_prefix_only_on_module_function():
    tokens = cp.lex("let = 1")
    with pytest.raises(SyntaxError) as exc:
        cp.parse_tokens(tokens)
    assert exc.value.args == ("Parse error: ParseError at 1:5: Expected identifier",)
    with pytest.raises(SyntaxError) as exc:
        cp.PyParser.parse_tokens(tokens)
    assert exc.value.args == ("ParseError at 1:5: Expected identifier",)
    with pytest.raises(SyntaxError) as exc:
        cp.PyParser(tokens).parse()
    assert exc.value.args == ("ParseError at 1:5: Expected identifier",)


def test_pyparser_parse_is_repeatable():
    p = cp.PyParser(cp.lex("let a = [1, {b: f(2)}]"))
    first = p.parse()
    assert first == p.parse() == parse("let a = [1, {b: f(2)}]")
    assert first is not p.parse()
    bad = cp.PyParser(cp.lex("a +"))
    for _ in range(2):
        with pytest.raises(SyntaxError, match="^ParseError at 1:4: Unexpected token: Eof$"):
            bad.parse()


# ---- hand-built token lists ------------------------------------------------------------------

@pytest.mark.parametrize("tokens, expected", [
    # a default arm only comes from a token list
    ([tok("Switch"), tok("Ident", "x"), tok("LBrace"), tok("Case"), tok("Int", "1"), tok("Colon"),
      tok("Ident", "a"), tok("Default"), tok("Colon"), tok("Ident", "b"), tok("RBrace")],
     [switch("x", case(1, [es("a")]), case(None, [es("b")]))]),
    ([tok("True"), tok("False"), tok("Nil")], [es(True), es(False), es(None)]),
    ([tok("Bool", "true")], [es("true")]),
    ([tok("Float", "1e3"), tok("String", "s")], [es(1000.0), es(lit("s"))]),
    ([tok("LParen"), tok("Ident", "a"), tok("RightParen")], [es("a")]),
    ([tok("Ident", "x"), tok("Plus")], None),
])
def test_token_lists(tokens, expected):
    if expected is None:
        assert parse_error(tokens) == "ParseError at 0:0: Unexpected token: Eof"
    else:
        assert shape(cp.parse_tokens(tokens + [tok("Eof")])) == shape(program(*expected))


@pytest.mark.parametrize("tokens, message", [
    ([tok("Ident", "f", line=3, column=7), tok("LParen", line=3, column=8)],
     "ParseError at 0:0: Expected RightParen, found Eof"),
    ([tok("Ident", "f", line=3, column=7), tok("Colon", line=4, column=9)],
     "ParseError at 4:9: Unexpected token: Colon"),
    ([tok("Default", line=2, column=2)], "ParseError at 2:2: Unexpected token: Default"),
    ([tok("Yield"), tok("Yield")], "ParseError at 0:0: Unexpected token: Yield"),
])
def test_token_list_errors(tokens, message):
    assert parse_error(tokens) == message


# ---- type keywords as values (these tokens only come from source) --------------------------

def test_int_and_float_are_callable_names(capfd):
    constants = bytes(cp.compile("int(x) + float(y)")[1])
    assert b"int" in constants and b"float" in constants
    cp.compile_and_run('print(int("41") + 1)')
    assert capfd.readouterr().out == "42\n"


# ---- f-strings (tokens of this kind only come from source, so through `compile`) ---------

def compiled(source):
    return cp.compile(source)


@pytest.mark.parametrize("fstring, plain", [
    ('f"{{}}"', '"{}"'),
    ('f"abc"', '"abc"'),
    ('f"{x y}"', 'f"{x}"'),
    ('f"{(x)} z"', 'f"{x} z"'),
    ("f'{a[\"k\"]}'", 'f"{a[\'k\']}"'),
    ('f"\\{x"', 'f"{x}"'),  # a bare brace from an escape opens an interpolation that runs to the end
    # U+0000 is the escaped-brace marker: before "{" it makes the brace literal, elsewhere it is
    # dropped, and a "}" swallows the marker after it (so a following "{" still opens)
    ('f"a\x00b"', '"ab"'),
    ('f"\x00{x}"', '"{x}"'),
    ('f"}}{x}"', 'f"}{x}"'),
])
def test_fstring_splitting_matches_equivalent(fstring, plain):
    assert compiled(fstring) == compiled(plain)


@pytest.mark.parametrize("source, message", [
    ('f"{x +}"', "ParseError at 0:0: In f-string: ParseError at 1:4: Unexpected token: Eof"),
    ("f\"{'ab}\"", "ParseError at 0:0: In f-string: Lexer error at 1:4: Unterminated string literal"),
    ('f"{f"{)}"}"', "ParseError at 0:0: In f-string: ParseError at 0:0: In f-string: "
                    "ParseError at 1:1: Unexpected token: RightParen"),
])
def test_fstring_errors(source, message):
    with pytest.raises(SyntaxError) as exc:
        compiled(source)
    assert exc.value.args == (message,)


# ---- nesting depth ---------------------------------------------------------------------------

N = 100_000


@pytest.mark.parametrize("source", [
    "(" * N,
    "(" * N + "1" + ")" * N,
    "[" * N,
    "let x = " + "{a: " * N,
    "-" * N + "x",
    "!" * N + "x",
    "+".join(["1"] * N),
    "x" + "()" * N,
    "x" + ".y" * N,
    "x" + "[0]" * N,
    "x = " + "a ? b : " * N + "c",
    "if a {" * N,
    "if a { } else " * N + "{ }",
    "fn f() {" * N,
    "let f = " + "fn() " * N + "1",
    "let f = " + "fn(a = " * N,
    "let x: " + "[" * N + "T",
    "class A { x: " + "[" * N,
    "match x { case 1: " * N,
    "try { " * N,
])
def test_deep_nesting_is_a_syntax_error(source):
    with pytest.raises(SyntaxError, match="^ParseError at 1:[0-9]+: Nesting too deep$"):
        cp.PyParser.parse_tokens(cp.lex(source))


def test_deeply_nested_fstrings_are_a_syntax_error():
    depth = 2000
    with pytest.raises(SyntaxError, match="^ParseError at 0:0: (In f-string: ParseError at 0:0: )+"
                                          "In f-string: ParseError at 1:1: Nesting too deep$"):
        cp.compile('f"{' * depth + "x" + '}"' * depth)


def test_raw_braces_fail_cleanly():
    assert parse_error("{" * N) == "ParseError at 1:2: Expected identifier"


@pytest.mark.parametrize("opener, inner, closer", [
    ("(", "1", ")"),
    ("[", "", "]"),
    ("-", "1", ""),
    ("if a {", "", "}"),
])
def test_nesting_limit_boundary(opener, inner, closer):
    """The error points at the opener that crosses the limit, and one level less parses."""
    message = parse_error(opener * 5000 + inner + closer * 5000)
    column = int(message.split(":")[1])
    assert message == f"ParseError at 1:{column}: Nesting too deep"
    depth = (column - 1) // len(opener)
    assert (column - 1) % len(opener) == 0 and depth >= 500
    tree = parse(opener * depth + inner + closer * depth)
    assert tree["statements"]


def test_long_chain_at_the_limit_converts():
    message = parse_error("+".join(["1"] * 5000))
    terms = (int(message.split(":")[1]) + 1) // 2  # the failing "+" follows this many terms
    assert terms >= 500
    tree = parse("+".join(["1"] * terms))
    node, depth = tree["statements"][0]["expression"], 0
    while node["type"] == "BinaryOp":
        node, depth = node["left"], depth + 1
    assert depth == terms - 1


# ---- robustness -----------------------------------------------------------------------------

TOKEN_TYPES = [
    "Int", "Float", "String", "Ident", "True", "False", "Nil", "Let", "Const", "Fn", "Struct", "Enum",
    "Class", "If", "Else", "While", "For", "In", "Return", "Break", "Continue", "Switch", "Case",
    "Default", "Try", "Catch", "Finally", "Throw", "Yield", "Async", "Await", "And", "Or", "Not",
    "Plus", "Minus", "Star", "Slash", "Percent", "Power", "Eq", "Neq", "Lt", "Lte", "Gt", "Gte",
    "BitwiseAnd", "BitwiseOr", "BitwiseXor", "BitwiseNot", "LeftShift", "RightShift", "Assign",
    "Arrow", "Question", "Comma", "Dot", "Semicolon", "Colon", "Eof", "LParen", "RParen", "LBrace",
    "RBrace", "LBracket", "RBracket", "PlusEq",
]

token_dicts = st.builds(
    tok,
    st.sampled_from(TOKEN_TYPES),
    st.sampled_from(["", "0", "1", "x", "comptime", "extends", "nan", "-5"]),
    line=st.integers(0, 5),
    column=st.integers(0, 5),
)


@settings(max_examples=400, deadline=None)
@given(st.lists(token_dicts, max_size=60))
def test_random_token_lists_parse_or_raise(tokens):
    try:
        tree = cp.PyParser.parse_tokens(tokens)
    except SyntaxError as e:
        assert e.args[0].startswith("ParseError at ")
    else:
        assert tree["type"] == "Program"


source_chars = st.sampled_from(list("ab1 (){}[],.:;?=+-*!<>&|\"'f{}$\n") +
                               ["fn ", "if ", "else ", "let ", "class ", "match ", "case ",
                                "try ", "catch ", "return ", "yield ", "comptime ", "int "])


@settings(max_examples=400, deadline=None)
@given(st.lists(source_chars, max_size=80).map("".join))
def test_random_sources_parse_or_raise(source):
    try:
        tokens = cp.lex(source)
    except SyntaxError:
        return
    try:
        cp.parse_tokens(tokens)
    except SyntaxError as e:
        assert e.args[0].startswith("Parse error: ParseError at ")
    try:
        cp.compile(source)
    except SyntaxError:
        pass
