#!/usr/bin/env python3
"""Works one vertex line of every_record_n.obj out from first principles, independently of the
program's code: its seed text, its exact seed, the generator's draws, the displacement and the
printed form. Run it to check the golden output by hand: python3 worked_vertex.py"""

M = (1 << 64) - 1


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M
    z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M
    return z ^ (z >> 31)


record = "v 1.5 -2 3"
day = 45000                      # --day 45000
amplitude = 0.1 * (1.5 - -1.5)   # intensity 0.1 times the smallest extent (x: -1.5 .. 1.5)

# Seed text: the record without "v", ".", " ", "-" and "e": "1523", which reads as 1523,
# canonically the digits 1523 and the exponent 0.
seed_text = "".join(c for c in record if c not in "v. -e")
assert seed_text == "1523"
digits, exponent = "1523", 0

# The key mixes the day with the canonical form: sign, digits (in groups of 19, each as the
# number it spells, then their count) and exponent.
key = mix64(day ^ 0x4a69747465726f72)
key = mix64(key ^ ord("+"))
groups = 0
for start in range(0, len(digits), 19):
    groups = mix64(groups ^ int(digits[start:start + 19]))
key = mix64(key ^ mix64(groups ^ len(digits)))
key = mix64(key ^ (exponent & M))

# Generator: SplitMix64. reset(-1), one number discarded, then reseed with the key.
gamma = 0x9e3779b97f4a7c15
state = mix64(((-1) & M) ^ 0x5265736574)
state = (state + gamma) & M                  # the discarded number
state = mix64(state ^ key)


def draw():
    global state
    state = (state + gamma) & M
    return (mix64(state) >> 40) / 16777216.0  # 24 bits, single precision exactly


line = "v "
for c in (1.5, -2.0, 3.0):                   # x, y, z all checked, White noise
    r = (draw() - 0.5) * 2
    value = c + amplitude * r
    line += ("-" if value < 0 else " ") + repr(abs(value)) + " "
print(line)
expected = open(__file__.replace("worked_vertex.py", "every_record_n.obj"), "rb").read().split(b"\r\n")[5]
print(expected.decode())
assert line.encode() == expected, "the golden vertex line differs"
