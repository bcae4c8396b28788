"""The ``calvex`` command.

    calvex FILE [options]          run a program (also: calvex run FILE)
    calvex check FILE...           compile only; report every error
    calvex dis FILE                the instruction listing
    calvex tokens FILE             the token list as JSON
    calvex ast FILE                the syntax tree as JSON
    calvex                         the interactive prompt (on a terminal)

Exit status: 0 on success, 1 when the program fails or does not compile,
2 for a usage error, 130 when interrupted with Ctrl-C.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TextIO, TypeVar

import calvex_parser

from . import CompileError, Interrupted, LimitExceeded, Runtime, ScriptError

__all__ = ["main", "format_compile_error", "format_script_error", "run_interruptibly"]

COMMANDS = ("run", "check", "dis", "tokens", "ast")
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

T = TypeVar("T")


def format_compile_error(err: CompileError) -> str:
    """``file:line:col: message``, then the source line and a caret under the column."""
    text = str(err)
    line = (err.text or "").rstrip("\n")
    if line and err.offset:
        caret = " " * (len(line[: err.offset - 1].expandtabs()) if "\t" in line else err.offset - 1)
        text += f"\n    {line.expandtabs()}\n    {caret}^"
    return text


def format_script_error(err: ScriptError) -> str:
    """``file:line: message``, then the active calls, innermost last. Runs of one
    repeated call are folded and a very deep stack shows its two ends, as
    Python's own tracebacks do."""
    lines = [str(err)]
    if len(err.traceback) <= 1:  # the top-level code alone adds nothing
        return lines[0]
    where = err.filename or "<string>"
    calls: list[str] = []
    previous, repeats = None, 0
    for frame in err.traceback:
        if frame == previous:
            repeats += 1
            if repeats >= 3:
                continue
        else:
            if repeats >= 3:
                calls.append(f"  [the call above repeated {repeats - 2} more times]")
            previous, repeats = frame, 0
        function, line = frame
        calls.append(f"  {where}:{line}: in {function}")
    if repeats >= 3:
        calls.append(f"  [the call above repeated {repeats - 2} more times]")
    if len(calls) > 50:
        calls = calls[:20] + [f"  [{len(calls) - 40} more calls]"] + calls[-20:]
    return "\n".join(lines + ["traceback (most recent call last):"] + calls)


def run_interruptibly(rt: Runtime, work: Callable[[], T]) -> T:
    """Run `work` (an entry of `rt`) on a helper thread so that Ctrl-C reaches
    this thread while the script runs; it then interrupts the runtime, and
    the entry ends with calvex.Interrupted, which is raised here."""
    box: dict[str, Any] = {}
    finished = threading.Event()

    def target() -> None:
        try:
            box["value"] = work()
        except BaseException as e:  # handed to the calling thread
            box["error"] = e
        finally:
            finished.set()

    worker = threading.Thread(target=target, name="calvex-script")
    worker.start()
    # Short waits, so that a Ctrl-C is seen promptly and never leaves a
    # half-finished join behind.
    while not finished.is_set():
        try:
            finished.wait(0.05)
        except KeyboardInterrupt:
            rt.interrupt()
    worker.join()
    if "error" in box:
        raise box["error"]
    return box["value"]  # type: ignore[no-any-return]


def _read(path: str, out: TextIO) -> str | None:
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as e:
        print(f"calvex: cannot read {path}: {e}", file=out)
        return None


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _memory(text: str) -> int:
    """A byte count, optionally with a k/M/G suffix (powers of 1024)."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    t = text.strip().lower().removesuffix("b").removesuffix("i")
    scale = units.get(t[-1:], 1)
    number = t[:-1] if scale != 1 else t
    try:
        value = int(float(number) * scale)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _run_parser(prog: str) -> argparse.ArgumentParser:
    p = _Parser(prog=prog, description="Run a Calvex program.")
    p.add_argument("file", help="the program (- reads standard input)")
    p.add_argument("--timeout", type=_positive_float, metavar="SECONDS",
                   help="stop the program after this much wall time")
    p.add_argument("--max-instructions", type=_positive_int, metavar="N",
                   help="stop the program after N instructions")
    p.add_argument("--max-memory", type=_memory, metavar="BYTES",
                   help="limit the memory the program's values hold (suffixes k, M, G)")
    p.add_argument("--strict", action="store_true",
                   help="reading an unassigned global or calling a non-function is an error")
    return p


def _runtime_options(args: argparse.Namespace) -> dict[str, Any]:
    options: dict[str, Any] = {"strict": args.strict}
    if args.timeout is not None:
        options["timeout"] = args.timeout
    if args.max_instructions is not None:
        options["max_instructions"] = args.max_instructions
    if args.max_memory is not None:
        options["max_memory"] = args.max_memory
    return options


def cmd_run(argv: Sequence[str]) -> int:
    args = _run_parser("calvex run").parse_args(argv)
    if args.file == "-":
        source, name = sys.stdin.read(), "<stdin>"
    else:
        read = _read(args.file, sys.stderr)
        if read is None:
            return EXIT_FAILED
        source, name = read, args.file
    rt = Runtime(**_runtime_options(args))
    try:
        run_interruptibly(rt, lambda: rt.exec(source, filename=name))
    except CompileError as e:
        print(format_compile_error(e), file=sys.stderr)
        return EXIT_FAILED
    except ScriptError as e:
        sys.stdout.flush()
        print(format_script_error(e), file=sys.stderr)
        return EXIT_FAILED
    except LimitExceeded as e:
        sys.stdout.flush()
        print(f"{name}: {e}", file=sys.stderr)
        return EXIT_FAILED
    except Interrupted:
        sys.stdout.flush()
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_OK


def cmd_check(argv: Sequence[str]) -> int:
    p = _Parser(prog="calvex check", description="Compile programs without running them.")
    p.add_argument("files", nargs="+", metavar="FILE")
    args = p.parse_args(argv)
    status = EXIT_OK
    import calvex
    for path in args.files:
        source = _read(path, sys.stderr)
        if source is None:
            status = EXIT_FAILED
            continue
        try:
            calvex.compile(source, filename=path)
        except CompileError as e:
            print(str(e), file=sys.stderr)  # one line per error, for editors and CI logs
            status = EXIT_FAILED
    return status


def _one_file(prog: str, what: str, argv: Sequence[str]) -> str | None:
    p = _Parser(prog=prog, description=what)
    p.add_argument("file", metavar="FILE")
    args = p.parse_args(argv)
    return _read(args.file, sys.stderr)


def cmd_dis(argv: Sequence[str]) -> int:
    source = _one_file("calvex dis", "Print the instruction listing of a program.", argv)
    if source is None:
        return EXIT_FAILED
    import calvex
    try:
        program = calvex.compile(source, filename=argv[-1])
    except CompileError as e:
        print(format_compile_error(e), file=sys.stderr)
        return EXIT_FAILED
    text = program.disassemble()
    sys.stdout.write(text if text.endswith("\n") else text + "\n")
    return EXIT_OK


def _front_end_json(argv: Sequence[str], prog: str, what: str, tree: bool) -> int:
    source = _one_file(prog, what, argv)
    if source is None:
        return EXIT_FAILED
    try:
        tokens = calvex_parser.lex(source)
        data: Any = calvex_parser.PyParser.parse_tokens(tokens) if tree else tokens
    except SyntaxError as e:
        print(f"{argv[-1]}: {e}", file=sys.stderr)
        return EXIT_FAILED
    json.dump(data, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")
    return EXIT_OK


def cmd_tokens(argv: Sequence[str]) -> int:
    return _front_end_json(argv, "calvex tokens", "Print the token list as JSON.", tree=False)


def cmd_ast(argv: Sequence[str]) -> int:
    return _front_end_json(argv, "calvex ast", "Print the syntax tree as JSON.", tree=True)


def _usage() -> str:
    return (__doc__ or "").split("\n\n")[1]


def main(argv: Sequence[str] | None = None) -> int:
    """Entry of the console script and of ``python -m calvex``."""
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args:
            if sys.stdin.isatty():
                from .repl import repl
                return repl()
            return cmd_run(["-"])
        first = args[0]
        if first in ("-h", "--help"):
            print(f"usage:\n{_usage()}")
            return EXIT_OK
        if first == "repl":
            from .repl import repl
            return repl()
        handlers = {"run": cmd_run, "check": cmd_check, "dis": cmd_dis,
                    "tokens": cmd_tokens, "ast": cmd_ast}
        if first in handlers:
            return handlers[first](args[1:])
        if first.startswith("-") and first != "-":
            if any(not a.startswith("-") for a in args):
                return cmd_run(args)
            print(f"usage:\n{_usage()}", file=sys.stderr)
            return EXIT_USAGE
        return cmd_run(args)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_FAILED


def console_main() -> NoReturn:
    """The console script: `main` with Ctrl-C never showing a Python traceback."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
