"""A grammar-aware generator of Calvex programs, driven by fuzz bytes.

Programs use a small pool of names so that reads, calls, methods and classes
meet each other; loops mostly count a fresh variable up to a small bound, so
most programs end on their own, but any of them may loop or recurse without
end (the harnesses bound each run with an interrupt). The same bytes always
give the same program.
"""
from driver import Data

VARS = ["a", "b", "c", "x", "y", "s", "xs", "o"]
FUNCS = ["f", "g", "h"]
CLASSES = ["P", "Q"]
FIELDS = ["k", "v", "next"]
METHODS = ["m", "n"]
BUILTINS = ["str", "len", "int", "float", "typeof", "abs", "min", "max", "pow", "sqrt",
            "round", "range", "sin", "cos"]
BINARY = ["+", "-", "*", "/", "%", "**", "==", "!=", "<", "<=", ">", ">=", "and", "or",
          "&&", "||", "&", "|", "^", "<<", ">>"]
INTS = ["0", "1", "2", "3", "7", "10", "-1", "255", "256", "9223372036854775807",
        "4611686018427387904", "1000000"]
FLOATS = ["0.0", "0.5", "1.5", "2.0", "1e308", "1e-300", "3.14159", "0.1"]
STRINGS = ['""', '"a"', '"abc"', '"héllo"', '"\\n\\t"', '"{x}"', '"7"', '"€𝄞"']


class Gen:
    def __init__(self, data, max_depth=4):
        self.d = data
        self.max_depth = max_depth
        self.counter = 0
        self.in_loop = 0
        self.in_fn = 0

    def fresh(self):
        self.counter += 1
        return f"i{self.counter}"

    # ---- expressions ---------------------------------------------------------
    def literal(self):
        k = self.d.int(0, 6)
        if k <= 1:
            return self.d.choice(INTS)
        if k == 2:
            return self.d.choice(FLOATS)
        if k == 3:
            return self.d.choice(STRINGS)
        if k == 4:
            return self.d.choice(["true", "false", "nil"])
        if k == 5:
            return str(self.d.int(-300, 300))
        return '"' + "".join(self.d.choice("abc xyz01{}") for _ in range(self.d.int(0, 5))).replace(
            "{", "(").replace("}", ")") + '"'

    def fstring(self, depth):
        parts = []
        for _ in range(self.d.int(1, 3)):
            if self.d.bool():
                parts.append(self.d.choice(["x", "-", " ", "{{", "}}", "é"]))
            else:
                parts.append("{ " + self.expr(depth + 1) + " }")
        return 'f"' + "".join(parts) + '"'

    def args(self, depth, lo=0, hi=3):
        return ", ".join(self.expr(depth + 1) for _ in range(self.d.int(lo, hi)))

    def expr(self, depth=0):
        if depth >= self.max_depth or self.d.left() == 0:
            return self.d.choice([self.literal(), self.d.choice(VARS)])
        k = self.d.int(0, 21)
        if k <= 2:
            return self.literal()
        if k <= 5:
            return self.d.choice(VARS)
        if k <= 8:
            return f"{self.expr(depth + 1)} {self.d.choice(BINARY)} {self.expr(depth + 1)}"
        if k == 9:
            return f"{self.d.choice(['-', 'not ', '!', '--'])}{self.expr(depth + 1)}"
        if k == 10:
            return f"({self.expr(depth + 1)})"
        if k == 11:
            return f"{self.d.choice(FUNCS)}({self.args(depth)})"
        if k == 12:
            name = self.d.choice(BUILTINS)
            if name == "range":
                return f"range({self.d.int(-3, 3)}, {self.d.int(0, 12)})"
            return f"{name}({self.args(depth, 0, 2)})"
        if k == 13:
            return f"[{self.args(depth, 0, 4)}]"
        if k == 14:
            fields = [f"{self.d.choice(FIELDS)}: {self.expr(depth + 1)}" for _ in range(self.d.int(0, 3))]
            if self.d.chance(40):
                fields.insert(0, f'__class__: "{self.d.choice(CLASSES)}"')
            return "{" + ", ".join(fields) + "}"
        if k == 15:
            return f"{self.d.choice(VARS)}[{self.expr(depth + 1)}]"
        if k == 16:
            return f"{self.d.choice(VARS)}.{self.d.choice(FIELDS)}"
        if k == 17:
            return f"{self.d.choice(VARS)}.{self.d.choice(METHODS)}({self.args(depth, 0, 2)})"
        if k == 18:
            return f"(fn({self.d.choice(['', 'x', 'x, y', 'x, y = 2'])}) {self.expr(depth + 1)})"
        if k == 19:
            return f"{self.expr(depth + 1)} ? {self.expr(depth + 1)} : {self.expr(depth + 1)}"
        if k == 20:
            return self.fstring(depth)
        return f"print({self.args(depth, 0, 3)})"

    # ---- statements ------------------------------------------------------------
    def body(self, depth):
        return "\n".join(self.stmt(depth + 1) for _ in range(self.d.int(0, 3)))

    def block(self, depth):
        return "{ " + self.body(depth) + " }"

    def stmt(self, depth=0):
        if depth >= self.max_depth or self.d.left() == 0:
            return f"print({self.expr(depth)})"
        k = self.d.int(0, 23)
        if k <= 2:
            return f"let {self.d.choice(VARS)} = {self.expr(depth)}"
        if k <= 4:
            return f"{self.d.choice(VARS)} = {self.expr(depth)}"
        if k <= 6:
            return f"print({self.args(depth, 1, 3)})"
        if k == 7:
            return f"if {self.expr(depth)} {self.block(depth)} else {self.block(depth)}"
        if k == 8:
            i = self.fresh()
            self.in_loop += 1
            body = self.body(depth)
            self.in_loop -= 1
            return f"let {i} = 0\nwhile {i} < {self.d.int(0, 12)} {{ {i} = {i} + 1\n{body} }}"
        if k == 9:
            self.in_loop += 1
            body = self.block(depth)
            self.in_loop -= 1
            return f"for {self.d.choice(VARS)} in {self.expr(depth)} {body}"
        if k == 10:
            self.in_fn += 1
            body = self.block(depth)
            self.in_fn -= 1
            params = ", ".join(self.d.choice(VARS) for _ in range(self.d.int(0, 3)))
            return f"fn {self.d.choice(FUNCS)}({params}) {body}"
        if k == 11 and self.in_fn:
            return f"return {self.expr(depth)}"
        if k == 12 and self.in_loop:
            return self.d.choice(["break", "continue"])
        if k == 13:
            methods = []
            for _ in range(self.d.int(0, 2)):
                self.in_fn += 1
                methods.append(f"fn {self.d.choice(METHODS)}(self, x) {self.block(depth)}")
                self.in_fn -= 1
            parent = f" extends {self.d.choice(CLASSES)}" if self.d.chance(40) else ""
            field = f"let {self.d.choice(FIELDS)} = {self.literal()} " if self.d.chance(30) else ""
            return f"class {self.d.choice(CLASSES)}{parent} {{ {field}{' '.join(methods)} }}"
        if k == 14:
            cases = " ".join(f"case {self.literal()}: {self.stmt(depth + 1)}" for _ in range(self.d.int(1, 3)))
            return f"match {self.expr(depth)} {{ {cases} }}"
        if k == 15:
            return f"try {self.block(depth)} finally {self.block(depth)}"
        if k == 16:
            return f"{self.d.choice(VARS)}[{self.expr(depth)}] = {self.expr(depth)}"
        if k == 17:
            return f"{self.d.choice(VARS)}.{self.d.choice(FIELDS)} = {self.expr(depth)}"
        if k == 18:
            v = self.d.choice(VARS)
            return f'{v} = f"{{{v}}}{self.d.choice(["x", "", "é"])}"'
        if k == 19:
            v = self.d.choice(VARS)
            return f"{v}.{self.d.choice(FIELDS)}[{self.expr(depth)}] = {self.expr(depth)}"
        if k == 20:
            # Bounded self-recursion.
            f = self.d.choice(FUNCS)
            return (f"fn {f}(n) {{ if n < {self.d.int(0, 40)} {{ return {f}(n + 1) {self.d.choice(BINARY)} "
                    f"{self.expr(depth + 1)} }} return n }}")
        e = self.expr(depth)
        # A statement opening with a bracket would continue the line before.
        return f"print({e})" if e[0] in "[{(" else e

    def program(self):
        return "\n".join(self.stmt() for _ in range(self.d.int(1, 8))) + "\n"


def program(raw, max_depth=4):
    """The Calvex program that the bytes `raw` describe."""
    return Gen(Data(raw), max_depth).program()
