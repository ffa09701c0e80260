#!/usr/bin/env python3
"""Copies an H.264 Annex B stream with the timing taken out of every sequence parameter set.

    scripts/strip_sps_timing.py IN.h264 OUT.h264

x264 always writes VUI timing; a stream without it (as some hardware encoders send) is made from
one of its streams. timing_info_present_flag becomes 0 and its 65 bits go; everything else in the
SPS, and every other NAL unit, is copied as it is.
"""
import re
import sys


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u(self, n):
        v = 0
        for _ in range(n):
            v = (v << 1) | ((self.data[self.pos >> 3] >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return v

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        v = self.ue()
        return (v + 1) // 2 if v & 1 else -(v // 2)


def unescape(nal):
    return re.sub(b"\x00\x00\x03", b"\x00\x00", nal)


def escape(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def strip(nal):
    rbsp = unescape(nal[1:])
    r = Bits(rbsp)
    profile = r.u(8)
    r.u(16)
    r.ue()
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        if r.ue() == 3:
            r.u(1)
        r.ue(), r.ue(), r.u(1)
        if r.u(1):
            raise ValueError("scaling matrices are not handled")
    r.ue()
    poc_type = r.ue()
    if poc_type == 0:
        r.ue()
    elif poc_type == 1:
        r.u(1), r.se(), r.se()
        for _ in range(r.ue()):
            r.se()
    r.ue(), r.u(1), r.ue(), r.ue()
    if not r.u(1):
        r.u(1)
    r.u(1)
    if r.u(1):
        r.ue(), r.ue(), r.ue(), r.ue()
    if not r.u(1):
        return nal  # no VUI
    if r.u(1) and r.u(8) == 255:
        r.u(32)
    if r.u(1):
        r.u(1)
    if r.u(1):
        r.u(4)
        if r.u(1):
            r.u(24)
    if r.u(1):
        r.ue(), r.ue()
    flag = r.pos
    if not r.u(1):
        return nal
    total = len(rbsp) * 8
    bits = [(rbsp[i >> 3] >> (7 - (i & 7))) & 1 for i in range(total)]
    bits = bits[:flag] + [0] + bits[flag + 66:]
    while bits and bits[-1] == 0:  # the old stop bit sat at a byte boundary: find it again
        bits.pop()
    bits = bits[:-1] + [1]
    bits += [0] * (-len(bits) % 8)
    out = bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return nal[:1] + escape(out)


def main():
    data = open(sys.argv[1], "rb").read()
    starts = [m.start() for m in re.finditer(b"\x00\x00\x01", data)]
    out = bytearray()
    for i, s in enumerate(starts):
        end = starts[i + 1] if i + 1 < len(starts) else len(data)
        nal = data[s + 3:end]
        trail = len(nal) - len(nal.rstrip(b"\x00"))
        body = nal[:len(nal) - trail]
        out += b"\x00\x00\x01" + (strip(body) if body and body[0] & 31 == 7 else body) + b"\x00" * trail
    open(sys.argv[2], "wb").write(bytes(out))


if __name__ == "__main__":
    main()
