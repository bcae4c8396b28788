"""optimize_bytecode: decode, optimise, encode.

Byte streams carry no Push and no jumps, so only the pair rules without a Push
operand, Nop removal and the dead code after Halt are reachable here; folding,
squaring and jump remapping are tested in tests/cpp/test_optimizer.cpp, and
through compiled programs at the end of this file.
"""
import pytest
from hypothesis import given, strategies as st

from calvex_parser import compile_and_run
from calvex_vm_engine import optimize_bytecode

NOP, HALT = 0x00, 0xFF
ACCEPTED = [*range(0x00, 0x09), *range(0x10, 0x16), *range(0x20, 0x26), 0x30, 0x31, 0x32, 0xFF]
# Every kind that has a byte, without Nop/Halt and without an adjacent pair rule.
EVERY_KIND = bytes([0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, *range(0x10, 0x16),
                    *range(0x20, 0x26), 0x30, 0x31, 0x32])


@pytest.mark.parametrize("code, expected", [
    (b"", b""),
    (b"\xfe\xfe\xfe", b""),
    (b"\x10\x99\xfe\xff", b"\x10\xff"),
    (bytes([0x09, 0x0F, 0x16, 0x26, 0x33, 0x40, 0xFD]), b""),
    (b"\x00\x10\x00", b"\x10"),
    (EVERY_KIND + b"\xff", EVERY_KIND + b"\xff"),
    # Pair rules, one left-to-right scan: a pair exposed by a removal stays.
    (b"\x02\x01", b""),
    (b"\x02\x01\xff", b"\xff"),
    (b"\x02\x02\x01", b"\x02"),
    (b"\x01\x02\x01", b"\x01"),
    (b"\x32\x32", b""),
    (b"\x32\x32\x32", b"\x32"),
    (b"\x32\x02\x01\x32", b"\x32\x32"),
    (b"\x04\x04\x02\x00\x01", b"\x04\x04\x02\x01"),
    # Everything after Halt is unreachable without jump targets.
    (b"\xff\x10\x02\x01", b"\xff"),
    (b"\x06\xff\xff\x06", b"\x06\xff"),
])
def test_optimize_bytecode(code, expected):
    assert optimize_bytecode(code) == expected


@given(st.lists(st.sampled_from(ACCEPTED) | st.integers(0, 255), max_size=40))
def test_result_is_the_decoded_input_thinned_and_cut_after_halt(values):
    data = bytes(values)
    out = optimize_bytecode(data)
    decoded = [b for b in data if b in ACCEPTED and b != NOP]
    if HALT in decoded:
        decoded = decoded[:decoded.index(HALT) + 1]
    rest = iter(decoded)
    assert all(b in rest for b in out), "not a subsequence of the decoded input"
    assert out.endswith(b"\xff") == (HALT in decoded)
    # Only the pair rules remove anything before Halt, and they remove pairs.
    assert (len(decoded) - len(out)) % 2 == 0


# A jump into the middle of a rewrite pattern keeps the pattern: here the then
# arm jumps to the operator right after the else arm's literal.
@pytest.mark.parametrize("source, printed", [
    ("let y = 5; print(y + (true ? 1 : 0))", "6"),
    ("let a = 10; print((true ? a : 2) + 3)", "13"),
    ("let x = 7; print(-(true ? x : 5))", "-7"),
    ("let x = 3; print(x ** (true ? 3 : 2))", "27.0"),
])
def test_ternary_arm_before_an_operator(source, printed, capfd):
    compile_and_run(source)
    assert capfd.readouterr().out == printed + "\n"
