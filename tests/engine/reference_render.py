#!/usr/bin/env python3
"""An independent model of the instrument's engine, written from its
arithmetic rules rather than from the C++ code, used to confirm the checksum
that engine_tests pins for its scripted score.

float32 rounding is done by packing a Python float (a double) into four
bytes; a float32 sum, difference, product or quotient of two float32 values
is the double result rounded once to float32, which is exact for these four
operations. Usage: reference_render.py SCORE_HEX TAIL_HEX  (exit 0 if both
checksums match).
"""
import math
import struct
import sys

_pack = struct.Struct("<f")


def f32(x):
    return _pack.unpack(_pack.pack(x))[0]


class Noise:
    def __init__(self):
        self.w = [1237, 234567, 890123]

    def next(self):
        s0, s1, s2 = self.w
        s0 = (s0 + s1) & 0xFFFFFFFF
        s1 = (s1 + s2) & 0xFFFFFFFF
        s2 = (s2 + s0) & 0xFFFFFFFF
        self.w = [s0, s1, s2]
        signed = s0 - (1 << 32) if s0 >= 1 << 31 else s0
        return signed >> 16


def period(note):
    p = math.trunc(2.0 ** (note / 12.0)) if note < 400 else 1 << 40
    if p == 0:
        return 88200
    return 88200 // p


class String:
    def __init__(self):
        self.pos = 0
        self.period = 0
        self.width = 0
        self.s = [0.0] * 88200

    def pluck(self, note, width, noise):
        self.period = period(note)
        for i in range(self.period):
            self.s[i] = f32(noise.next() / 32768.0)
        self.width = width

    def step(self):
        p, w = self.period, self.width
        if p <= 0:
            return 0.0
        self.pos += 1
        t = 0.0
        for j in range(w):
            t = f32(t + 0.997 * self.s[(self.pos + j) % p])
        t = f32(t / w)
        self.s[self.pos % p] = t
        return t


ROWS = [[2063, 1847, 1523, 1277], [2053, 1867, 1531, 1259]]
GAINS = [f32(-0.8733), f32(-0.8223), f32(-0.8513), f32(-0.8503)]


class Reverb:
    def __init__(self, channel):
        self.lengths = ROWS[channel]
        self.lines = [[0.0] * n for n in self.lengths]
        self.pos = 0  # all four lines advance together

    def process(self, x):
        acc = 0.0
        for d in range(4):
            n, line = self.lengths[d], self.lines[d]
            t = 0.0
            for j in range(3):
                t = f32(t + line[(self.pos + 2 * j) % n])
            y = f32(f32(t / 3.0) + x)
            line[self.pos % n] = f32(GAINS[d] * y)
            acc = f32(acc + y)
        self.pos += 1
        return f32(f32(acc + f32(x * 0.5)) * 0.3)


SCORE = [  # (buffer, string, note, width), as in test_render.cpp
    (0, 3, 109, 5), (10, 0, 85, 12), (10, 7, 121, 2), (40, 5, 116, 3),
    (60, 3, 109, 5), (80, 6, 190, 12), (100, 1, 97, 9), (100, 2, 104, 7),
    (150, 4, 5, 4), (200, 0, 85, 12), (200, 0, 73, 12), (250, 2, -3, 7),
    (300, 7, 121, 2), (300, 6, 119, 8),
]


def main():
    noise = Noise()
    strings = [String() for _ in range(8)]
    left, right = Reverb(0), Reverb(1)
    k0, k1, k2 = f32(0.3), f32(-0.5), f32(0.7)
    f1 = f2 = f3 = 0.0
    hashes = []
    h = 14695981039346656037
    for b in range(350 + 172):
        if b == 350:
            # The subnormal tail: every value held is scaled by 2^-136.
            hashes.append(h)
            h = 14695981039346656037
            for s in strings:
                for i in range(s.period):
                    s.s[i] = f32(s.s[i] * 2.0**-136)
            for r in (left, right):
                for line in r.lines:
                    for i in range(len(line)):
                        line[i] = f32(line[i] * 2.0**-136)
            f1, f2, f3 = (f32(v * 2.0**-136) for v in (f1, f2, f3))
        # A pluck draws its noise when it is made; the last pluck of a string
        # before a buffer is the one that sounds from the buffer's start.
        pending = {}
        for (pb, k, note, width) in SCORE:
            if pb == b:
                state = list(noise.w)
                for _ in range(period(note)):
                    noise.next()
                pending[k] = (note, width, state)
        for k, (note, width, state) in sorted(pending.items()):
            g = Noise()
            g.w = state
            strings[k].pluck(note, width, g)
        for _ in range(512):
            total = 0.0
            for s in strings:
                total = f32(total + s.step())
            f1 = f32(f32(f32(f1 - total) * k0) + total)
            f2 = f32(f32(f32(f2 - f1) * k1) + f1)
            f3 = f32(f32(f32(f3 - f2) * k2) + f2)
            dry = f3 * 0.3
            for v in (f32(left.process(f3) + dry), f32(right.process(f3) + dry)):
                for byte in _pack.pack(v):
                    h = ((h ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    hashes.append(h)
    print(" ".join(f"{v:016x}" for v in hashes))
    if len(sys.argv) > 2:
        return 0 if [int(a, 16) for a in sys.argv[1:3]] == hashes else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
