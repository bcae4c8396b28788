"""Program.from_bytes: damaged or foreign bytes raise ValueError; bytes that
pass the header checks (the harness rewrites length and checksum after
changing the body, so the decoder and what runs the result are reached) load
a program that runs in a Runtime under limits without harm."""
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import gen  # noqa: E402

import calvex  # noqa: E402

HEADER = 16  # magic, version, flags, body length, body checksum


def with_header(header, body):
    return header[:8] + struct.pack("<II", len(body), zlib.crc32(body)) + body


def mutate(d, raw):
    out = bytearray(raw)
    for _ in range(d.int(1, 8)):
        k = d.int(0, 5)
        i = d.int(0, max(len(out) - 1, 0))
        if k == 0 and out:
            out[i] = d.byte()
        elif k == 1 and out:
            out[i] ^= 1 << d.int(0, 7)
        elif k == 2:
            del out[i:i + d.int(1, 8)]
        elif k == 3:
            out[i:i] = d.bytes(d.int(1, 8))
        elif k == 4 and out:
            out[i:i + 4] = d.choice([b"\xff\xff\xff\xff", b"\x80\x80\x80\x80\x80", b"\x00", b"\x7f"])
        else:
            out[i:i] = out[i:i + d.int(1, 32)]
    return bytes(out)


def one_input(raw):
    d = Data(raw)
    k = d.int(0, 9)
    if k == 0:
        data = d.rest_text().encode("utf-8", "surrogateescape")
    else:
        try:
            prog = calvex.compile(gen.Gen(d, max_depth=3).program())
        except (calvex.CompileError, UnicodeEncodeError):
            prog = calvex.compile("let x = 1\nfn f(a) { return a + x }\nprint(f(2))")
        good = prog.to_bytes()
        if k == 1:
            data = mutate(d, good)                       # header checks usually refuse
        else:
            data = with_header(good, mutate(d, good[HEADER:]))
    loaded = expect(lambda: calvex.Program.from_bytes(data), ValueError)
    if isinstance(loaded, ValueError):
        return
    rt = calvex.Runtime(max_instructions=20000, timeout=1.0, max_memory=2_000_000, max_depth=200,
                        print=lambda line: None, input=lambda prompt: "")
    expect(lambda: rt.exec(loaded), calvex.CalvexError)
    for name in loaded.functions[:3]:
        expect(lambda: rt.call(name, 1, "x"), calvex.CalvexError, TypeError)
    expect(loaded.disassemble, ValueError)
    again = expect(lambda: calvex.Program.from_bytes(loaded.to_bytes()), ValueError)
    if isinstance(again, ValueError):
        raise Fault(f"a loaded program does not load again: {again}")


if __name__ == "__main__":
    main(one_input)
