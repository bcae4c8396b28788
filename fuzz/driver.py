"""What every harness shares: a reader that turns fuzz input bytes into
choices, and the loop that feeds a harness.

A harness is a module with `one_input(data: bytes)` that raises only when it
found a fault, and calls `main(one_input)` when run as a script:

    python fuzz/fuzz_NAME.py [--seconds N] [--corpus DIR] [--artifacts DIR] [SEEDS...]
    python fuzz/fuzz_NAME.py --replay FILE...

The engine is atheris (coverage-guided; native coverage when the library is
the CALVEX_FUZZ build) when it is installed, otherwise hypothesis generating
byte strings. CALVEX_FUZZ_ENGINE=hypothesis forces the second. Both stop after
--seconds and print how many inputs they ran. A fault found by hypothesis is
written to the artifacts folder, as atheris does with its crash-* files.
"""
import argparse
import faulthandler
import os
import sys
import time


def _atheris_module():
    """atheris, when installed and not turned off; only imported to fuzz (a
    replay must not load libFuzzer into a process built for another runtime)."""
    if os.environ.get("CALVEX_FUZZ_ENGINE", "atheris") != "atheris":
        return None
    try:
        import atheris
    except ImportError:
        return None
    return atheris


class Data:
    """Choices read from fuzz input bytes, front to back. Reading past the
    end gives zeros, so every input is a complete (if dull) sequence of
    choices and small inputs give small results."""

    def __init__(self, raw):
        self.raw = raw
        self.pos = 0

    def left(self):
        return len(self.raw) - self.pos

    def byte(self):
        if self.pos >= len(self.raw):
            return 0
        b = self.raw[self.pos]
        self.pos += 1
        return b

    def int(self, lo, hi):
        """An integer in [lo, hi], from as few bytes as the range needs."""
        span = hi - lo
        if span <= 0:
            return lo
        v, nbytes = 0, (span.bit_length() + 7) // 8
        for _ in range(nbytes):
            v = (v << 8) | self.byte()
        return lo + v % (span + 1)

    def bool(self):
        return self.byte() & 1 == 1

    def chance(self, percent):
        return self.int(0, 99) < percent

    def choice(self, options):
        return options[self.int(0, len(options) - 1)]

    def bytes(self, n):
        n = min(n, self.left())
        out = self.raw[self.pos:self.pos + n]
        self.pos += n
        return out

    def text(self, max_len):
        """Up to max_len characters, mostly ASCII, sometimes any code point
        (lone surrogates included)."""
        n = self.int(0, max_len)
        chars = []
        for _ in range(n):
            if self.chance(90):
                chars.append(chr(self.int(32, 126)))
            else:
                chars.append(chr(self.int(0, 0x10FFFF)))
        return "".join(chars)

    def rest_text(self):
        """The unread bytes as text (undecodable bytes as lone surrogates)."""
        out = self.raw[self.pos:].decode("utf-8", "surrogateescape")
        self.pos = len(self.raw)
        return out


class Fault(AssertionError):
    """A harness found a fault: an outcome no input may have."""


def is_fault(exc):
    """Exceptions that only a fault below the host boundary produces: an
    internal fault the host caught (PanicException), or a host entry that
    returned failure without an exception or with the wrong one set."""
    return isinstance(exc, SystemError) or type(exc).__name__ == "PanicException"


def expect(call, *allowed):
    """call() -> its result, or the exception when it raised one of `allowed`
    (and not a fault). Anything else propagates as a Fault."""
    try:
        return call()
    except BaseException as e:
        if is_fault(e) or not isinstance(e, allowed):
            raise Fault(f"{type(e).__name__}: {e}") from e
        return e


def silence_program_output():
    """Programs print to file descriptor 1: send that to /dev/null and keep
    sys.stdout on a copy of the old descriptor."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    sys.stdout = os.fdopen(saved, "w", buffering=1)


def _replay(one_input, files):
    for path in files:
        with open(path, "rb") as f:
            one_input(f.read())
    print(f"replayed {len(files)} inputs", flush=True)


def _seed_files(dirs):
    for d in dirs:
        if os.path.isfile(d):
            yield d
            continue
        for base, _, names in os.walk(d):
            for name in sorted(names):
                yield os.path.join(base, name)


def _atheris(atheris, one_input, args, name):
    argv = [sys.argv[0], f"-max_total_time={args.seconds}", "-print_final_stats=1",
            f"-timeout={args.timeout}", f"-rss_limit_mb={args.rss_limit_mb}", "-max_len=8192"]
    if args.artifacts:
        os.makedirs(args.artifacts, exist_ok=True)
        argv.append(f"-artifact_prefix={os.path.join(args.artifacts, name)}-")
    if args.corpus:
        os.makedirs(args.corpus, exist_ok=True)
        argv.append(args.corpus)
    argv += args.seeds
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


def _hypothesis(one_input, args, name):
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import strategies as st

    count = 0
    seeds = []
    for path in _seed_files(args.seeds):
        with open(path, "rb") as f:
            seeds.append(f.read()[:8192])
    for s in seeds:
        one_input(s)
        count += 1
    deadline = time.monotonic() + args.seconds
    failing = []

    @settings(max_examples=500, deadline=None, database=None, derandomize=False,
              suppress_health_check=list(HealthCheck), phases=[Phase.generate, Phase.shrink])
    @given(st.binary(max_size=4096) | st.sampled_from(seeds or [b""]).flatmap(
        lambda s: st.binary(max_size=64).map(lambda t: s[: len(s) // 2] + t + s[len(s) // 2:])))
    def run(data):
        nonlocal count
        if time.monotonic() >= deadline:
            return  # the time is up: let the rest of this batch pass quickly
        count += 1
        try:
            one_input(data)
        except BaseException:
            failing.append(data)
            raise

    try:
        while time.monotonic() < deadline:
            run()
    except BaseException:
        if args.artifacts and failing:
            os.makedirs(args.artifacts, exist_ok=True)
            path = os.path.join(args.artifacts, f"{name}-crash-{int(time.time())}")
            with open(path, "wb") as f:
                f.write(failing[-1])
            print(f"fault input written to {path}", file=sys.stderr)
        raise
    finally:
        print(f"stat::number_of_executed_units: {count}", flush=True)


def main(one_input):
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0].removeprefix("fuzz_")
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=int, default=10)
    p.add_argument("--corpus")
    p.add_argument("--artifacts")
    p.add_argument("--timeout", type=int, default=30)
    p.add_argument("--rss-limit-mb", type=int, default=4096)
    p.add_argument("--replay", action="store_true", help="run each file once and stop")
    p.add_argument("seeds", nargs="*")
    args = p.parse_args()
    silence_program_output()
    # A harness that hangs (a run its interrupt could not end) must fail with
    # a traceback, not hold up whoever runs it.
    faulthandler.dump_traceback_later(args.seconds * 2 + 300, exit=True)
    if args.replay:
        _replay(one_input, args.seeds)
        return
    atheris = _atheris_module()
    print(f"{name}: {'atheris' if atheris else 'hypothesis'}, {args.seconds} s", flush=True)
    if atheris:
        _atheris(atheris, one_input, args, name)
    else:
        _hypothesis(one_input, args, name)
