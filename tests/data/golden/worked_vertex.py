#!/usr/bin/env python3
"""Works vertex lines out from first principles, independently of the program's code: the seed
text, the exact seed, the generator's draws, the noise shape, the displacement and the printed
form. Run it to check by hand the vertex line of every_record_n.obj it names, and the lines of the
noise-shape table in tst_engine_convert.cpp that it prints: python3 worked_vertex.py"""

M = (1 << 64) - 1


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M
    z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M
    return z ^ (z >> 31)


def key_of(digits, exponent, day):
    # The key mixes the day with the canonical form: sign, digits (in groups of 19, each as the
    # number it spells, then their count) and exponent.
    key = mix64(day ^ 0x4a69747465726f72)
    key = mix64(key ^ ord("+"))
    groups = 0
    for start in range(0, len(digits), 19):
        groups = mix64(groups ^ int(digits[start:start + 19]))
    key = mix64(key ^ mix64(groups ^ len(digits)))
    return mix64(key ^ (exponent & M))


SHAPES = {"white": lambda r: r, "square": lambda r: r * abs(r), "cubic": lambda r: r * r * r}


def worked(record, digits, day, amplitude, shape="white", axes="xyz"):
    # Seed text: the record without "v", ".", " ", "-" and "e"; `digits` is its canonical form
    # (no leading zeros; these examples need exponent 0).
    seed_text = "".join(c for c in record if c not in "v. -e")
    assert seed_text.lstrip("0") == digits, seed_text
    # Generator: SplitMix64. reset(-1), one number discarded, then reseed with the key.
    gamma = 0x9e3779b97f4a7c15
    state = mix64(((-1) & M) ^ 0x5265736574)
    state = (state + gamma) & M  # the discarded number
    state = mix64(state ^ key_of(digits, 0, day))
    line = "v "
    for axis, c in zip("xyz", map(float, record.split()[1:])):
        if axis in axes and shape in SHAPES:  # one draw per noised axis, in x, y, z order
            state = (state + gamma) & M
            u = (mix64(state) >> 40) / 16777216.0  # 24 bits, single precision exactly
            c += amplitude * SHAPES[shape]((u - 0.5) * 2)
        c = c or 0.0  # negative zero prints as 0
        line += ("-" if c < 0 else " ") + repr(abs(c)) + " "
    return line


# every_record_n.obj: --day 45000, intensity 0.1 times the smallest extent (x: -1.5 .. 1.5).
line = worked("v 1.5 -2 3", "1523", 45000, 0.1 * (1.5 - -1.5))
expected = open(__file__.replace("worked_vertex.py", "every_record_n.obj"), "rb").read().split(b"\r\n")[5]
print(line)
assert line.encode() == expected, "the golden vertex line differs"

# The noise-shape table: "v 0.75 1.25 -0.5" after "v 0 0 0" and "v 2 2 2" (smallest extent 2).
for shape, axes in [("white", "xyz"), ("white", "z"), ("white", "xz"), ("square", "xyz"),
                    ("cubic", "xyz"), ("none", "xyz")]:
    print(shape, axes, repr(worked("v 0.75 1.25 -0.5", "7512505", 45000, 0.1 * 2, shape, axes)))
