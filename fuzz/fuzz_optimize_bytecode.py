"""optimize_bytecode(bytes): bytes out, and a machine loads the result."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import bytecode  # noqa: E402
import tokens as tk  # noqa: E402

import calvex_vm_engine as ve  # noqa: E402


def one_input(raw):
    d = Data(raw)
    code = bytecode.stream(d, 2048)
    out = ve.optimize_bytecode(code)
    if not isinstance(out, bytes):
        raise Fault(f"optimize_bytecode gave {type(out)}")
    again = ve.optimize_bytecode(out)
    if not isinstance(again, bytes):
        raise Fault("second optimisation gave no bytes")
    engine = ve.VMEngine(out)
    if not isinstance(engine.execute(), str):
        raise Fault("execute gave no str")
    if d.bool():
        expect(lambda: ve.optimize_bytecode(tk.odd_value(d)), TypeError)


if __name__ == "__main__":
    main(one_input)
