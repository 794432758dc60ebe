#!/usr/bin/env python3
"""A full-size DVD-RW image (4.7 GB, 2,298,496 sectors) builds in a few seconds as a sparse
file: only the written sectors take disk space, and the structures at its far end (the last
anchor, an erased recording near the end) are where they belong."""

import os
import struct
import subprocess
import time
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import SECTOR, Checks, build, pack, read_image, workdir

SECTORS = 2298496
LIMIT_SECONDS = 10
LIMIT_USAGE = 48 << 20  # bytes on disk; about 15 MiB are written

RECIPE = """sectors %d
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
file /DVD_RTAV/VR_MOVIE.VRO size=5000s
erased %d 64s
""" % (SECTORS, SECTORS - 200)


def main():
    checks = Checks()
    work = workdir("sparse")
    started = time.monotonic()
    image, record = build(work, "dvd47", RECIPE)
    seconds = time.monotonic() - started
    usage = int(subprocess.run(["du", "--block-size=1", image], capture_output=True, text=True,
                               check=True).stdout.split()[0])
    print("built %d sectors in %.2f s; %d bytes on disk" % (SECTORS, seconds, usage))
    checks.check(seconds < LIMIT_SECONDS, "build took %.2f s (limit %d s)" % (seconds, LIMIT_SECONDS))
    checks.equal(os.path.getsize(image), SECTORS * SECTOR, "apparent size")
    checks.check(usage < LIMIT_USAGE, "disk usage %d bytes (limit %d)" % (usage, LIMIT_USAGE))
    checks.equal(record["sectors"], SECTORS, "record sectors")
    checks.equal(record["partition"], (272, SECTORS - 1 - 272), "partition")
    last = read_image(image, SECTORS - 1)
    checks.equal((struct.unpack_from("<HI", last, 0)[0], struct.unpack_from("<I", last, 12)[0]), (2, SECTORS - 1),
                 "last anchor")
    checks.equal(read_image(image, SECTORS - 200, 64), b"".join(pack(SECTORS - 200 + i) for i in range(64)),
                 "erased recording near the end")
    checks.equal(read_image(image, SECTORS - 136, 64), bytes(64 * SECTOR), "unwritten sectors read as zeros")
    bits = record["partition"][1]
    free = sum(n for _, n in record["free"])
    bitmap_blocks = (24 + (bits + 7) // 8 + SECTOR - 1) // SECTOR
    # Less the bitmap, the file set, two directories (entry and data), two file entries, the files.
    checks.equal(free, bits - (bitmap_blocks + 1 + 2 * 2 + 2 + 1360 + 5000), "free blocks")
    os.remove(image)
    checks.finish()


if __name__ == "__main__":
    main()
