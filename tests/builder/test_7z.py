#!/usr/bin/env python3
"""7-Zip's UDF reader extracts what mkvrdisc put on the disc, byte for byte.

7-Zip reads short and long allocation descriptors, data embedded in the File Entry and
extents of any length; it refuses extended descriptors and continuation extents (those
forms are read with libudfread in test_udfread.py). It sizes the volume from the extents it
knows and complains about data after them, so most recipes here keep the reserve sequence at
the end of the disc ("vds 32 last-16").
"""

import os
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import Checks, SECTOR, build, expected_file, extract_7z, ifo, sevenzip, stream, workdir

IFO = "/DVD_RTAV/VR_MANGR.IFO"
VRO = "/DVD_RTAV/VR_MOVIE.VRO"
NOTE = b"A short note kept in the File Entry itself.\n"


def cases(work):
    with open(os.path.join(work, "rec-a.vob"), "wb") as f:
        f.write(stream("rec-a"))
    with open(os.path.join(work, "rec-b.vob"), "wb") as f:
        f.write(stream("rec-b"))
    with open(os.path.join(work, "note.txt"), "wb") as f:
        f.write(NOTE)
    a, b = stream("rec-a"), stream("rec-b")
    ifo_default = ifo(0, 1360 * SECTOR)

    # Just a size: the default disc, the movie file running to the end of the partition,
    # which ends before the last anchor.
    yield "default", "sectors 11000\n", {
        IFO: ifo_default,
        VRO: expected_file(("packs",), [(0, 10112, (11000 - 1 - 10112) * SECTOR)]),
    }, {"/DVD_RTAV"}

    yield "long", """sectors 12000
vds 32 last-16
dir / form=long
dir /DVD_RTAV form=long
file /DVD_RTAV/VR_MANGR.IFO form=long
file /DVD_RTAV/VR_MOVIE.VRO form=long content=file:rec-b.vob
extent 0 10500 70s
extent 0 10112 60s
""", {IFO: ifo_default, VRO: b}, {"/DVD_RTAV"}

    yield "embedded", """sectors 12000
vds 32 last-16
dir / form=embedded
dir /DVD_RTAV form=embedded
file /DVD_RTAV/VR_MANGR.IFO form=embedded size=1500
file /DVD_RTAV/NOTE.TXT form=embedded content=file:note.txt
file /DVD_RTAV/VR_MOVIE.VRO size=40s
""", {
        IFO: ifo(0, 1500),
        "/DVD_RTAV/NOTE.TXT": NOTE,
        VRO: expected_file(("packs",), [(0, 10112, 40 * SECTOR)]),
    }, {"/DVD_RTAV"}

    rest = len(a) - 3000 - 10 * SECTOR - 5000
    yield "partial-extents", """sectors 12000
vds 32 last-16
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO size=4097
file /DVD_RTAV/VR_MOVIE.VRO content=file:rec-a.vob
extent 0 10112 3000
extent 0 10200 10s
extent 0 10300 5000
extent 0 10400 %d
""" % rest, {IFO: ifo(0, 4097), VRO: a}, {"/DVD_RTAV"}

    yield "tree", """sectors 12000
vds 32 last-16
file /README.TXT content=file:note.txt
dir /VIDEO
dir /VIDEO/DVD_RTAV
deleted /VIDEO/DVD_RTAV/VR_MOVIE.VRO fe=+200
deleted /VIDEO/DVD_RTAV/VR_MANGR.IFO
file /VIDEO/DVD_RTAV/VR_MOVIE.VRO size=30s liu=32
file /VIDEO/DVD_RTAV/VR_MANGR.IFO liu=6 ea=24 size=9000
dir /VIDEO/EMPTY
dir /A liu=40
dir /A/B
dir /A/B/C form=long
file /A/B/C/DEEP.BIN size=5000 content=ifo form=long
""", {
        "/README.TXT": NOTE,
        "/VIDEO/DVD_RTAV/VR_MOVIE.VRO": expected_file(("packs",), [(0, 10112, 30 * SECTOR)]),
        "/VIDEO/DVD_RTAV/VR_MANGR.IFO": ifo(0, 9000),
        "/A/B/C/DEEP.BIN": ifo(0, 5000),
    }, {"/VIDEO", "/VIDEO/DVD_RTAV", "/VIDEO/EMPTY", "/A", "/A/B", "/A/B/C"}

    # Enough identifiers that the directory spans several blocks and some cross a block end.
    lines = ["sectors 12000", "vds 32 last-16", "dir /DVD_RTAV", "file /DVD_RTAV/VR_MOVIE.VRO size=10s",
             "file /DVD_RTAV/VR_MANGR.IFO size=100", "dir /MANY"]
    files = {IFO: ifo(0, 100), VRO: expected_file(("packs",), [(0, 10112, 10 * SECTOR)])}
    for i in range(100):
        name = "/MANY/F%03d_WITH_A_LONGER_NAME_%s.DAT" % (i, "X" * (i % 7))
        lines.append("file %s size=%d content=ifo liu=%d" % (name, 1 + i * 37, (i % 3) * 4))
        files[name] = ifo(0, 1 + i * 37)
    yield "big-directory", "\n".join(lines) + "\n", files, {"/DVD_RTAV", "/MANY"}

    yield "nsr03-bridge", """sectors 12000
nsr 3
iso9660 3
vds-order lvd-pd
extra-pd 7 11500 200 before
vds 32 last-16
partition 300
dir /DVD_RTAV
file /DVD_RTAV/VR_MOVIE.VRO size=20s
file /DVD_RTAV/VR_MANGR.IFO
""", {IFO: ifo_default, VRO: expected_file(("packs",), [(0, 10112, 20 * SECTOR)])}, {"/DVD_RTAV"}


def main():
    sevenzip()
    checks = Checks()
    work = workdir("7z")
    for name, recipe, files, dirs in cases(work):
        image, _ = build(work, name, recipe)
        status, problems, got, got_dirs = extract_7z(image, os.path.join(work, name + ".out"))
        checks.equal(status, 0, name + ": 7z exit status")
        checks.equal(problems, [], name + ": 7z messages")
        checks.equal(sorted(got), sorted(files), name + ": extracted files")
        checks.equal(got_dirs, dirs, name + ": extracted directories")
        for path, want in files.items():
            if path in got:
                checks.equal(got[path], want, name + ": " + path)
    checks.finish()


if __name__ == "__main__":
    main()
