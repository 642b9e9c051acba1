"""Prints the 2^(j/128) table of the vector exp (src/math/vector_exp.cpp) from exact arithmetic.

Entry j is a pair of 64-bit words: the double nearest to (2^(j/128) - H) / H, and the bits of
H = the double nearest to 2^(j/128), less j << 45, so that adding k << 45 for k = 128 q + j
puts the exponent q into H. Both roundings are to nearest, from 2^(j/128) known to 2^-300.
"""

import struct
from fractions import Fraction
from math import isqrt

PRECISION = 300


def two_to(j: int) -> Fraction:
    """2^(j/128) to within 2^-PRECISION, by seven integer square roots."""
    v = (1 << j) << (PRECISION * 128)
    for _ in range(7):
        v = isqrt(v)
    return Fraction(v, 1 << PRECISION)


def bits(d: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", d))[0]


def main() -> None:
    words = []
    for j in range(128):
        e = two_to(j)
        h = float(e)  # correctly rounded
        tail = float((e - Fraction(h)) / Fraction(h))
        words += [bits(tail), (bits(h) - (j << 45)) % (1 << 64)]
    for i in range(0, len(words), 4):
        print("    " + ", ".join(f"0x{w:016x}" for w in words[i : i + 4]) + ",")


if __name__ == "__main__":
    main()
