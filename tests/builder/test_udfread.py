#!/usr/bin/env python3
"""libudfread reads the forms that 7-Zip refuses: extended allocation descriptors, chains of
continuation extents (Allocation Extent Descriptors) and extents that are allocated but not
recorded (type 1) or neither (type 2), which read as zeros.

libudfread maps file offsets block by block, so every extent here but the last of a file is a
whole number of blocks (test_7z.py covers the others), and it does not skip deleted
identifiers, so there are none here.
"""

import os
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import SECTOR, Checks, UdfRead, build, expected_file, ifo, stream, workdir

IFO = "/DVD_RTAV/VR_MANGR.IFO"
VRO = "/DVD_RTAV/VR_MOVIE.VRO"


def chain(form):
    """The movie file in four extents, three of them in a chain of continuation extents; the
    directory's own data also lies behind a continuation extent: its identifiers take
    40 (parent) + 2 x 52 bytes (38 + 13-byte identifier, padded to 4) = 144 bytes."""
    b = stream("rec-b")
    rest = len(b) - 110 * SECTOR
    recipe = """sectors 12000
dir /DVD_RTAV form=%s
continue auto
extent 0 auto 144
file /DVD_RTAV/VR_MANGR.IFO form=%s size=3000
file /DVD_RTAV/VR_MOVIE.VRO form=%s content=file:rec-b.vob
extent 0 10112 40s
continue +600
extent 0 10200 40s
continue auto
extent 0 10300 30s
continue +601 length=1024
extent 0 10400 %d
""" % (form, form, form, rest)
    return "chain-" + form, recipe, {IFO: ifo(0, 3000), VRO: b}


def cases():
    b = stream("rec-b")
    yield "ext", """sectors 12000
dir / form=ext
dir /DVD_RTAV form=ext
file /DVD_RTAV/VR_MANGR.IFO form=ext
file /DVD_RTAV/VR_MOVIE.VRO form=ext content=file:rec-b.vob
extent 0 10600 50s
extent 0 10112 50s
extent 0 10300 %d
""" % (len(b) - 100 * SECTOR), {IFO: ifo(0, 1360 * SECTOR), VRO: b}

    for form in ("short", "long", "ext"):
        yield chain(form)

    yield "unrecorded", """sectors 12000
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO size=100
file /DVD_RTAV/VR_MOVIE.VRO form=long
extent 0 10112 5s
extent 1 10117 3s
extent 2 - 4s
extent 2 11000 1s
extent 0 10200 6s
""", {IFO: ifo(0, 100), VRO: expected_file(("packs",), [(0, 10112, 5 * SECTOR), (1, 10117, 3 * SECTOR),
                                                         (2, 0, 4 * SECTOR), (2, 11000, SECTOR),
                                                         (0, 10200, 6 * SECTOR)])}

    # 600 one-block extents: more than a File Entry (234 short descriptors) or one continuation
    # extent (253) holds.
    lines = ["sectors 12000", "dir /DVD_RTAV", "file /DVD_RTAV/VR_MANGR.IFO size=10",
             "file /DVD_RTAV/VR_MOVIE.VRO"]
    extents = []
    for i in range(600):
        if i and i % 150 == 0:
            lines.append("continue auto")
        lines.append("extent 0 %d 1s" % (10112 + 2 * i))
        extents.append((0, 10112 + 2 * i, SECTOR))
    yield "many-extents", "\n".join(lines) + "\n", {IFO: ifo(0, 10), VRO: expected_file(("packs",), extents)}


def main():
    reader = UdfRead()
    checks = Checks()
    work = workdir("udfread")
    with open(os.path.join(work, "rec-b.vob"), "wb") as f:
        f.write(stream("rec-b"))
    for name, recipe, files in cases():
        image, record = build(work, name, recipe)
        got = reader.read(image, sorted(files))
        for path, want in files.items():
            if checks.check(got[path] is not None, name + ": libudfread cannot read " + path):
                checks.equal(got[path], want, name + ": " + path)
        if name.startswith("chain-") or name == "many-extents":
            checks.check(len(record["aed"].get(VRO, [])) == 3, name + ": three continuation extents recorded")
    checks.finish()


if __name__ == "__main__":
    main()
