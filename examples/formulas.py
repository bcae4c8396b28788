"""A formula host: formulas written by users are evaluated against one
record each, in strict mode and under limits, so a typo or a runaway
formula is reported instead of silently giving nil or hanging the host.

usage: python examples/formulas.py
"""
import sys

import calvex

RECORD = {"price": 12.5, "qty": 4, "discount": 0.1, "tags": ["sale", "new"]}

FORMULAS = {
    "total": "price * qty * (1 - discount)",
    "label": 'f"{qty} x {price}"',
    "is_sale": "len(tags) > 1",
    "typo": "price * quantity",
    "not_callable": "price(2)",
    "runaway": "len(range(0, 100000000))",
    "broken": "price * (qty",
}


def evaluate(formula: str) -> tuple[str, object]:
    try:
        return "ok", calvex.eval(formula, RECORD, strict=True, max_instructions=10_000, timeout=0.5,
                                 max_memory=1_000_000)
    except calvex.CompileError as e:
        return "syntax", f"column {e.offset}: {e.msg}"
    except calvex.ScriptError as e:
        return "error", e.message
    except calvex.LimitExceeded as e:
        return "limit", e.limit


def main() -> int:
    for name, formula in FORMULAS.items():
        status, value = evaluate(formula)
        print(f"{name:13} {status:7} {value!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
