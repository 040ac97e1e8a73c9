#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

The seeds are real requests: one framed request of every command code with
the payloads of docs/protocol.md, and the plain-text commands documented
there, alone and several in one send; for the number forms, the values of
the documented answers and the edges of the float range. The files are committed; run this
again only when the protocol gains a request.
"""

import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SEP = b"\xff\xff"  # record separator of the harness inputs (fuzzsupport.h)


def frame(code, tag, payload):
    body = b"%03d;%06d;" % (code, tag) + payload.encode("utf-8") + b";"
    return b"@%06d;" % len(body) + body


FRAMES = [
    frame(1, 42, "Cab display"),
    frame(2, 42, ""),
    frame(3, 42, ""),
    frame(4, 42, ""),
    frame(5, 42, ""),
    frame(6, 42, "0:1:2"),
    frame(7, 42, ""),
    frame(8, 42, "1:0.75"),
    frame(9, 42, "Cab A:Panel:1.5:1:2:3:4:5"),
    frame(10, 42, ""),
    frame(9, 7, "A:B:1.5:1:2:3:4"),          # seven parts: FALSE
    frame(11, 1, "ignored"),                  # unknown code
    frame(5, 999999, ""),                     # widest tag
    frame(1, 3, "Führerstand"),               # non-ASCII name
    b"@000011;005;000001;",                   # shortest frame, no closing ";"
    b"@000012;-05;000001;;",                  # negative code
    b"@00001x;005;000001;;",                  # length not a number
]

TEXTS = [
    b"GetLocoName()",
    b"GetControllerValue(1;0)<END>",
    b"GetControllerValue(1;2)<END>",
    b"GetControllerValueMultiplyRaw(0:1)<END>",
    b"SetControllerValue(1;0,75)<END>",
    b"GetControllerListExtended(FLAT)<END>",
    b"GetControllerListExtended(RAW)<END>",
    b"GetControllerListExtended(JSON)<END>",
    b"SetClientName(Cab display)<END>GetLocoName()<END>",
    b"GetLocoName()<END><END>GetLocoName()<END>",
    b"SetControllerValue(3)<END>GetLocoName()<END>",
    b"XSetClientNameY(Z)<END>",
    b"Hello<END>",
]


def write(harness, seeds):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as out:
            out.write(seed)


def framed_record(code, tag, payload):
    return b"F" + struct.pack(">b", code) + struct.pack(">I", tag)[1:] + payload.encode("utf-8") + b";"


def value_record(index, kind, value_bits):
    return b"V" + struct.pack(">h", index) + bytes([kind]) + struct.pack("<I", value_bits)


NAN, INF, NINF = 0x7FC00000, 0x7F800000, 0xFF800000

# Frame codec: every frame as it travels.
write("framecodec", FRAMES)

# Request reader: frames whole, split into segments, back to back, and text.
reader = list(FRAMES) + list(TEXTS)
reader += [
    frame(5, 1, "")[:12] + SEP + frame(5, 1, "")[12:],           # body in two segments
    frame(6, 2, "0:1")[:8] + SEP + frame(6, 2, "0:1")[8:],        # header alone first: text
    frame(2, 3, "") + frame(3, 4, ""),                            # two frames in one segment
    frame(7, 5, "")[:10],                                         # body never completes
    SEP.join([frame(8, 6, "1:0.5")[:9]] + [b"0"] * 10),           # more segments than waits
    b"@" + SEP + b"GetLocoName()",                                # a lone "@"
    SEP + b"GetLocoName()<END>SetControllerValue(1)<END>",        # no interface
    b"@00000x;GetLocoName()",                                     # "@" whose header did not qualify
]
write("requestreader", reader)

# Command layer: the same requests as records, on simulators that answer
# names, lists, NaN and infinities.
setup = [
    b"NClass 66",
    b"LReverser::Regulator::TrainBrakeControl",
    value_record(0, 1, 0xBF800000), value_record(0, 2, 0x3F800000),   # -1, 1
    value_record(1, 0, 0x3F000000),                                   # 0.5
    value_record(400, 0, 0x424E0831), value_record(401, 0, 0xBE029D8A),
    b"R\x1e" + struct.pack("<I", 0x4228AE14),
]
commandset = []
for code, payload in [(1, "Cab display"), (2, ""), (3, ""), (4, ""), (5, ""), (6, "0:1:2"),
                      (7, ""), (8, "1:0.75"), (9, "Cab A:Panel:1.5:1:2:3:4:5"), (10, ""),
                      (0, ""), (11, "x"), (-5, "")]:
    commandset.append(SEP.join(setup + [framed_record(code, 42, payload)]))
for text in TEXTS:
    commandset.append(SEP.join(setup + [b"T" + text]))
commandset += [
    SEP.join([b"N", b"L", framed_record(5, 1, ""), framed_record(7, 2, ""),
              b"TGetControllerListExtended(JSON)<END>GetLocoName()"]),             # null texts
    SEP.join([b"U\x01", b"LA::B", value_record(400, 0, NAN), value_record(0, 0, INF),
              value_record(0, 1, NINF), framed_record(4, 3, ""), framed_record(6, 4, "0:1:400"),
              b"TGetControllerValue(0;0)<END>GetControllerListExtended(FLAT)<END>"]),  # NaN, inf
    SEP.join([framed_record(9, 5, "%1:%2:1:1:2:3:4:5"), framed_record(10, 6, "")]),  # placeholders
]
write("commandset", commandset)

# Number forms: the values of docs/protocol.md's examples and the edges.
values = [0.5, 1.0, 100.0, 1e6, 1e-5, 1e-4, 51.1235, -0.25, 0.75, 2.9, -1.7, -0.5, 999999.5,
          51.5072994, -0.127583, 42.17, 0.0, 123456.789, 3.4028234663852886e38, 1.401298464324817e-45]
bits = [struct.unpack("<I", struct.pack("<f", v))[0] for v in values]
bits += [0x80000000, NAN, INF, NINF, 0x7FC00001, 0x00800000, 0x007FFFFF]
write("numberformat", [struct.pack("<I", b) for b in bits] + [b"".join(struct.pack("<I", b) for b in bits)])
