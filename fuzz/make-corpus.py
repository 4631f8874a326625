#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target from the third-party meshes we hold.

Usage: fuzz/make-corpus.py OUTPUT_FOLDER
Creates OUTPUT_FOLDER/<target>/ for each target and adds seeds to what is there already, so a
corpus that long runs have grown is kept. Each seed carries the header bytes its target expects.
"""

import hashlib
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
# The shared collection beside the checkout where there is one (it holds more exporters' quirks),
# and the copy in the tree, which a fresh clone always has.
MESH_FOLDERS = [HERE.parent.parent / "shared" / "testdata" / "obj", HERE.parent / "tests" / "data" / "thirdparty"]
# Larger seeds only slow every run of the target down; the start of a big mesh is as good.
MAX_SEED = 16 * 1024


def write(folder: pathlib.Path, data: bytes) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def meshes():
    seen = set()
    for path in sorted(p for folder in MESH_FOLDERS for p in folder.glob("*.obj")):
        data = path.read_bytes()
        if data in seen:
            continue
        seen.add(data)
        if len(data) > MAX_SEED:
            cut = data.rfind(b"\n", 0, MAX_SEED)
            data = data[: cut + 1 if cut > 0 else MAX_SEED]
        yield data


def utf16(data: bytes) -> bytes:
    """A mesh as an editor saves it in UTF-16, with its byte order mark: a NUL after every byte."""
    return data[:2048].decode("latin-1").encode("utf-16")


def records(out: pathlib.Path) -> None:
    for data in meshes():
        write(out, b"\x00" + data)  # all at once
        write(out, b"\x0f" + b"\x01\x02\x03\x04\x05\x06\x07\x08" + data)  # pieces of up to 8 bytes
    write(out, b"\x01" + b"\x00" * 8 + b"a\r\nb\rc\n\rd#IN" + b"D\r")
    write(out, b"\x00" + utf16(next(meshes())))


def engine(out: pathlib.Path) -> None:
    # Header: check boxes, algorithm, intensity, event record, event, day, format check.
    configs = [
        bytes([0x15 | 0x40 | 0x80, 1, 0, 0, 0, 0, 0]),  # x y z, normals, split, white, 0.1
        bytes([0x01, 2, 1, 5, 0, 3, 1]),  # x only, squared, 1; toggle x at record 5; check
        bytes([0x15 | 0x80, 3, 2, 3, 2, 7, 1]),  # cubic, -2; toggle split at record 3; check
        bytes([0x15 | 0x40, 1, 8, 7, 4, 0, 0]),  # cancel the scan at record 7
        bytes([0x15, 1, 0, 9, 5, 0, 0]),  # cancel the noise pass at record 9
        bytes([0x2a, 0, 9, 2, 1, 0, 1]),  # grayed boxes, no algorithm, intensity 1e999
    ]
    for index, data in enumerate(meshes()):
        write(out, configs[index % len(configs)] + data[: 16 * 1024])
    write(out, configs[0] + utf16(next(meshes())))
    for config in configs:
        write(out, config + b"v 0 0 0\nv 1 2 3 0.5 0.5 0.5\nvn 0 1 0\nf 1 2 3 4\n#IND\nv 1e308 1e308 1e308\n")


def preview(out: pathlib.Path) -> None:
    for index, data in enumerate(meshes()):  # header: the triangle budget
        write(out, bytes([index * 7 % 64]) + data[: 16 * 1024])


def numbers(out: pathlib.Path) -> None:
    fields = set()
    for data in meshes():
        for line in data.splitlines():
            parts = line.split()
            if parts and parts[0] in (b"v", b"vn", b"vt"):
                fields.update(parts[1:4])
                # The seed text of the record: what the noise is derived from.
                fields.add(re.sub(rb"[v. e-]", b"", line))
    for field in sorted(fields)[:400]:
        write(out, field)
    for special in [b"1e999", b"1e-999", b"-0", b"nan", b"inf", b"1" * 1000, b"87120189e-17085051",
                    b"15E325E31", b"0." + b"0" * 400 + b"1e400", b" 1 2\t.\n5", b"+.5e+", b"-.e1",
                    b"1e-99999999999999999999", b"2.2250738585072014e-308", b"4.9e-324"]:
        write(out, special)


def paths(out: pathlib.Path) -> None:
    samples = [
        rb"C:\Models\cube.obj", rb"C:cube.obj", rb"\Models\cube.obj", rb"cube.obj", rb"C:\my.dir\cube",
        b"C:\\Models\\", rb"C:", rb"..\up\..\x.y.z", rb"  C : \ a b \ c d . e f  ", rb"a:b:c\d.e",
        b"/home/me/Models/cube.obj", b"models/cube", b"/a.b/c", b"/", b".", b"..", b"///x//y.z",
        b"/tmp/\xc3\x9fa.obj", b"/tmp/\xff\xfe.obj", b"C:/mixed\\seps.obj", b"", b"name.", b".hidden",
    ]
    for sample in samples:
        write(out, b"\x00" + sample)  # the POSIX style
        write(out, b"\x01" + sample)  # the drive-letter style


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = pathlib.Path(sys.argv[1])
    records(root / "fuzz_records")
    engine(root / "fuzz_engine")
    numbers(root / "fuzz_numbers")
    paths(root / "fuzz_path")
    preview(root / "fuzz_preview")
    return 0


if __name__ == "__main__":
    sys.exit(main())
