"""calvex.compile and calvex.Program: errors with positions, the serialised
form (round trip, hostile bytes), pickling and the listing."""
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import calvex

SOURCE = """\
fn square(n) { return n * n }
class Counter {
    fn bump(self) { self.n + 1 }
}
total = square(7) + 0.5
name = "caf\u00e9 \\"quoted\\""
pick = fn(x) x + 1
"""


@pytest.mark.parametrize(
    "source, lineno, offset, msg",
    [
        ("x = (1 +", 1, 9, "Unexpected token: Eof"),
        ("x = 1\ny = 2 `\n", 2, 7, "Unexpected character: `"),
        ('a = 1\nb = "open\n', 2, 10, "Unterminated string \u2014 newline inside string"),
        ("x = 1\nbreak\n", 2, None, "'break' outside loop"),
    ],
)
def test_compile_error_carries_its_position(source, lineno, offset, msg):
    with pytest.raises(calvex.CompileError) as info:
        calvex.compile(source, filename="rules.cx")
    e = info.value
    assert isinstance(e, SyntaxError) and isinstance(e, calvex.CalvexError)
    assert (e.filename, e.lineno, e.offset, e.msg) == ("rules.cx", lineno, offset, msg)
    assert e.text == source.split("\n")[lineno - 1]
    where = f"rules.cx:{lineno}" + (f":{offset}" if offset else "")
    assert str(e) == f"{where}: {msg}"


def test_program_round_trips_through_bytes_and_pickle():
    prog = calvex.compile(SOURCE, filename="lib.cx")
    data = prog.to_bytes()
    again = calvex.Program.from_bytes(data)
    assert again.to_bytes() == data
    assert again.disassemble() == prog.disassemble()
    assert again.filename == "lib.cx"
    assert pickle.loads(pickle.dumps(prog)).to_bytes() == data
    rt = calvex.Runtime()
    rt.exec(again)
    assert rt.globals["total"] == 49.5
    assert rt.globals["name"] == 'caf\u00e9 "quoted"'
    assert rt.eval("pick(41)") == 42
    assert rt.eval('{__class__: "Counter", n: 4}.bump()') == 5


def test_pickled_program_runs_in_another_process():
    prog = calvex.compile('fn greet(who) { return f"hello {who}" }')
    code = (
        "import pickle, sys, calvex\n"
        "prog = pickle.loads(sys.stdin.buffer.read())\n"
        "rt = calvex.Runtime(); rt.exec(prog); print(rt.call('greet', 'there'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(prog), capture_output=True, check=True)
    assert out.stdout.decode().strip() == "hello there"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "not a serialised Calvex program"),
        (b"PK\x03\x04" + bytes(40), "not a serialised Calvex program"),
        (b"CVXP\x07\x00" + bytes(10), "unsupported program format version 7"),
    ],
)
def test_foreign_bytes_are_refused(data, message):
    with pytest.raises(ValueError, match=message):
        calvex.Program.from_bytes(data)


def test_checksum_catches_a_flipped_byte_and_header_catches_truncation():
    data = bytearray(calvex.compile(SOURCE).to_bytes())
    data[-3] ^= 0x40
    with pytest.raises(ValueError, match="checksum"):
        calvex.Program.from_bytes(bytes(data))
    with pytest.raises(ValueError, match="truncated"):
        calvex.Program.from_bytes(calvex.compile(SOURCE).to_bytes()[:-1])


GOOD = calvex.compile(SOURCE).to_bytes()


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_damaged_bytes_give_value_error_or_a_runnable_program(data):
    """Any damage (flips, truncation, insertion) is ValueError, never a crash;
    bytes that still decode (the damage hit nothing, or the checksum was
    recomputed below) give a program that runs or fails cleanly."""
    raw = bytearray(GOOD)
    for _ in range(data.draw(st.integers(1, 4))):
        kind = data.draw(st.sampled_from(["flip", "truncate", "insert"]))
        pos = data.draw(st.integers(0, len(raw) - 1)) if raw else 0
        if kind == "flip" and raw:
            raw[pos] ^= 1 << data.draw(st.integers(0, 7))
        elif kind == "truncate":
            del raw[pos:]
        else:
            raw[pos:pos] = data.draw(st.binary(min_size=1, max_size=8))
    try:
        calvex.Program.from_bytes(bytes(raw))
    except ValueError:
        pass


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_payload_damage_behind_a_valid_checksum_never_crashes(data):
    """Forge the checksum so the damaged payload itself is parsed: the reader
    and then the machine must cope with whatever it holds."""
    import zlib

    body = bytearray(GOOD[16:])
    for _ in range(data.draw(st.integers(1, 6))):
        pos = data.draw(st.integers(0, len(body) - 1))
        body[pos] = data.draw(st.integers(0, 255))
    if data.draw(st.booleans()):
        del body[data.draw(st.integers(0, len(body) - 1)):]
    header = bytearray(GOOD[:16])
    header[8:12] = len(body).to_bytes(4, "little")
    header[12:16] = zlib.crc32(body).to_bytes(4, "little")
    try:
        prog = calvex.Program.from_bytes(bytes(header + body))
    except ValueError:
        return
    rt = calvex.Runtime(max_instructions=100_000, max_memory=50_000_000, print=lambda line: None)
    try:
        rt.exec(prog)
    except calvex.CalvexError:
        pass
    assert rt.eval("1 + 1") == 2


def test_disassembly_lists_every_unit_with_lines_and_constants():
    listing = calvex.compile('fn double(n) { return n * 2 }\nprint(double(21))').disassemble()
    assert listing == (
        "== <top> ==\n"
        "    0     2  LoadGlobal  0  ; \"print\"\n"
        "    1     2  LoadGlobal  1  ; \"double\"\n"
        "    2     2  Push        21\n"
        "    3     2  Call        1\n"
        "    4     2  Call        1\n"
        "    5     2  Pop\n"
        "    6     2  Halt\n"
        "\n"
        "== double (1 parameter) ==\n"
        "    0     1  LoadLocal   0\n"
        "    1     1  Push        2\n"
        "    2     1  Mul\n"
        "    3     1  Return\n"
        "    4     1  Return\n"
    )


def test_program_is_not_constructible_and_names_its_functions():
    with pytest.raises(TypeError):
        calvex.Program()
    prog = calvex.compile(SOURCE, filename="lib.cx")
    assert prog.functions == ("square", "Counter.bump")
    assert repr(prog).startswith("<calvex.Program 'lib.cx': ")
