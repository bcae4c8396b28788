"""Run a Calvex program through the one-shot pipeline and show its result.

usage: python examples/run.py FILE.cx
"""
import sys

import calvex_parser


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as f:
        source = f.read()
    try:
        result = calvex_parser.compile_and_run(source)
    except SyntaxError as e:
        print(e, file=sys.stderr)
        return 1
    sys.stdout.flush()
    print("=>", result)
    return 1 if result.startswith("Runtime error: ") else 0


if __name__ == "__main__":
    sys.exit(main())
