"""Byte streams for the engine harnesses: raw fuzz bytes, or runs of the
instruction bytes that the stream encoding knows (so that more of each input
is code rather than skipped bytes)."""
import calvex_vm_engine as ve

# Every byte the optimiser writes back for some instruction, found once.
_KNOWN = sorted({b for b in ve.optimize_bytecode(bytes(range(256))) if b != 0xFE} | {0xFF})


def stream(d, max_len=512):
    n = d.int(0, max_len)
    if d.chance(30):
        return d.bytes(n)
    return bytes(d.choice(_KNOWN) if d.chance(95) else d.int(0, 255) for _ in range(n))
