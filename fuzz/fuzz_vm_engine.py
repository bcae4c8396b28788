"""VMEngine: machines built from byte streams and driven through every
method in any order (execute, state, stats, reset, enable_jit,
collect_hot_traces_ir), with odd arguments too."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import bytecode  # noqa: E402
import tokens as tk  # noqa: E402

from calvex_vm_engine import VMEngine  # noqa: E402

STATES = {"Running", "Paused", "Halted"}
STATS = ["instructions_executed", "stack_depth", "call_depth", "cache_hits", "cache_misses", "cache_hit_rate"]


def check_state(s):
    if s not in STATES and not (s.startswith('Error("') and s.endswith('")')):
        raise Fault(f"state {s!r}")


def one_input(raw):
    d = Data(raw)
    engine = expect(lambda: VMEngine(bytecode.stream(d)), Exception)
    if isinstance(engine, Exception):
        raise Fault(f"VMEngine refused bytes: {engine}")
    jit = False
    for _ in range(d.int(1, 12)):
        k = d.int(0, 7)
        if k <= 1:
            r = engine.execute()
            if not isinstance(r, str):
                raise Fault(f"execute gave {type(r)}")
        elif k == 2:
            check_state(engine.state())
        elif k == 3:
            s = engine.stats()
            if list(s)[:6] != STATS or (("jit_stats" in s) != jit):
                raise Fault(f"stats keys {list(s)}")
        elif k == 4:
            engine.reset(bytecode.stream(d))
            jit = False
        elif k == 5:
            engine.enable_jit()
            jit = True
        elif k == 6:
            traces = engine.collect_hot_traces_ir()
            if not isinstance(traces, list):
                raise Fault("collect_hot_traces_ir gave no list")
        else:
            method = d.choice(["execute", "state", "stats", "reset", "enable_jit", "collect_hot_traces_ir"])
            args = [tk.odd_value(d) for _ in range(d.int(0, 2))]
            out = expect(lambda: getattr(engine, method)(*args), TypeError)
            if not isinstance(out, TypeError) and method in ("reset", "enable_jit"):
                jit = method == "enable_jit"
    if d.bool():
        expect(lambda: VMEngine(tk.odd_value(d)), TypeError)


if __name__ == "__main__":
    main(one_input)
