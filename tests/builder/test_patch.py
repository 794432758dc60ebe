#!/usr/bin/env python3
"""Raw patches land on the bytes they name, after everything else; "fix" gives the patched
descriptor a fresh checksum and CRC (7-Zip, which checks both, still reads it), "nofix" leaves
the old ones (7-Zip then rejects the descriptor)."""

import os
import struct
import time
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import SECTOR, Checks, build, extract_7z, ifo, read_image, sevenzip, tag_problem, workdir

BASE = """sectors 12000
vds 32 last-16
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO size=5000
file /DVD_RTAV/VR_MOVIE.VRO size=10s
"""
IFO = "/DVD_RTAV/VR_MANGR.IFO"
VRO = "/DVD_RTAV/VR_MOVIE.VRO"


def main():
    sevenzip()
    checks = Checks()
    work = workdir("patch")
    _, plain = build(work, "plain", BASE)
    start = plain["partition"][0]
    ifo_fe = start + plain["file"][IFO][0]
    dir_block = start + plain["extent"]["/DVD_RTAV"][0][1]

    # The modification year of the IFO's File Entry (timestamp at byte 84, year at 86) set to
    # 1999, with and without a fix.
    for mode in ("fix", "nofix"):
        name = "year-" + mode
        image, record = build(work, name, BASE + "set %d 86 2 1999 %s\n" % (ifo_fe, mode))
        fe = read_image(image, ifo_fe)
        checks.equal(struct.unpack_from("<H", fe, 86)[0], 1999, name + ": patched bytes")
        problem = tag_problem(fe, 261, ifo_fe - start)
        out = os.path.join(work, name + ".out")
        status, problems, files, _ = extract_7z(image, out)
        if mode == "fix":
            checks.equal(problem, None, name + ": tag after the fix")
            checks.equal((status, problems), (0, []), name + ": 7z accepts the fixed File Entry")
            checks.equal(files.get(IFO), ifo(0, 5000), name + ": 7z reads the file")
            year = time.gmtime(os.stat(out + IFO).st_mtime).tm_year
            checks.equal(year, 1999, name + ": 7z sees the patched year")
        else:
            checks.equal(problem, "bad CRC", name + ": CRC left as it was")
            checks.check(status != 0 and IFO not in files, name + ": 7z rejects the unfixed File Entry")
        checks.equal([l for l in record["lines"] if l[0] == "patch"], [["patch", str(ifo_fe), "86", "2"]],
                     name + ": patch line")

    # A patch of the tag itself without a fix: the checksum no longer matches.
    image, _ = build(work, "tag-nofix", BASE + "patch %d 6 0200\n" % ifo_fe)
    checks.equal(tag_problem(read_image(image, ifo_fe), 261, ifo_fe - start), "bad tag checksum",
                 "tag-nofix: serial number patched, checksum left")

    # The movie file's identifier (byte 92 of the directory: after the parent's 40 bytes and the
    # IFO's 52) marked deleted, its tag fixed at that offset: 7-Zip no longer sees the file.
    image, _ = build(work, "deleted", BASE + "patch %d %d 04 fix=92\n" % (dir_block, 92 + 18))
    block = read_image(image, dir_block)
    checks.equal(block[92 + 18], 4, "deleted: characteristics")
    checks.equal(tag_problem(block[92:], 257, dir_block - start), None, "deleted: identifier tag fixed")
    checks.equal(tag_problem(block, 257, dir_block - start), None, "deleted: parent identifier untouched")
    status, problems, files, _ = extract_7z(image, os.path.join(work, "deleted.out"))
    checks.equal((status, problems, sorted(files)), (0, [], [IFO]), "deleted: 7z sees only the IFO")

    # Bytes across a sector end, on an unwritten sector, in partition-block notation.
    image, _ = build(work, "raw", BASE + "patch 11500 2046 a1b2c3d4\npatch +3 4100 ee\n")
    checks.equal(read_image(image, 11500, 2), bytes(2046) + b"\xa1\xb2\xc3\xd4" + bytes(2 * SECTOR - 2050),
                 "raw: across a sector end on an unwritten sector")
    checks.equal(read_image(image, start + 3 + 2, offset=4100 - 2 * SECTOR, length=1), b"\xee",
                 "raw: +BLOCK with an offset beyond the sector")
    checks.equal(read_image(image, start + 3), read_image(os.path.join(work, "plain.img"), start + 3),
                 "raw: the block named stays as it was")
    checks.finish()


if __name__ == "__main__":
    main()
