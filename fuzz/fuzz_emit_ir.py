"""emit_ir(trace_name, opcodes): a module text for any name and bytes."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import bytecode  # noqa: E402
import tokens as tk  # noqa: E402

import calvex_vm_engine as ve  # noqa: E402


def one_input(raw):
    d = Data(raw)
    name = d.choice(["t", "trace_0", "", "a b", "x\"y", "é", "\udcff", d.text(40)])
    code = bytecode.stream(d, 1024)
    out = expect(lambda: ve.emit_ir(name, code), UnicodeEncodeError)
    if isinstance(out, UnicodeEncodeError):
        return
    if not isinstance(out, str) or "define i64 @" not in out:
        raise Fault("emit_ir gave no module")
    if d.bool():
        expect(lambda: ve.emit_ir(*[tk.odd_value(d) for _ in range(d.int(0, 3))]), TypeError, UnicodeEncodeError)


if __name__ == "__main__":
    main(one_input)
