#!/usr/bin/env python3
"""udfinfo (udftools) reads the volume without a warning, and what it reports agrees with the
record: the partition's place and size, the image size, the free and used block counts, the
places of the volume structures and the numbers of files and directories."""

import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import Checks, build, skip, workdir

TREE = """dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
file /DVD_RTAV/VR_MOVIE.VRO size=1000s
"""

CASES = [
    ("default", "sectors 20000\n", {"udfrev": "1.02", "iso": 0}),
    ("nsr03", "sectors 20000\nnsr 3\n", {"udfrev": "2.01", "iso": 0}),
    ("bridge-lvd-first", "sectors 20000\niso9660 2\nvds-order lvd-pd\nlabel BRIDGE\n",
     {"udfrev": "1.02", "iso": 2, "label": "BRIDGE"}),
    ("moved-structures", "sectors 30000\niso9660 3\nanchors 256 last-256 last\nvds 40 last-16\nlvid 80\n"
     "partition 300\nlabel MOVED\n" + TREE, {"udfrev": "1.02", "iso": 3, "label": "MOVED"}),
    ("bitmap-mid-partition", "sectors 30000\npartition 400 25000\nbitmap +5000\nfsd +5100\n" + TREE,
     {"udfrev": "1.02", "iso": 0}),
    ("short-bitmap-erased", "sectors 30000\nbitmap-bits 20000\nerased 25000 100s\nerased 11500 30s\n"
     "mark-used +100 5\nmark-free +9000 3\n" + TREE, {"udfrev": "1.02", "iso": 0}),
    ("space-table", "sectors 30000\nspace table\nerased 25000 100s\n" + TREE, {"udfrev": "1.02", "iso": 0}),
    ("subdirectories", "sectors 20000\ndir /DVD_RTAV\ndir /DVD_RTAV/SUB\ndir /OTHER\nfile /OTHER/X.BIN size=10\n"
     "file /DVD_RTAV/VR_MOVIE.VRO size=10s\nfile /DVD_RTAV/VR_MANGR.IFO\n", {"udfrev": "1.02", "iso": 0}),
]


def parse(text):
    fields, areas = {}, []
    for line in text.splitlines():
        if line.startswith("start="):
            parts = dict(p.strip().split("=") for p in line.split(","))
            areas.append((parts["type"], int(parts["start"]), int(parts["blocks"])))
        elif "=" in line:
            key, value = line.split("=", 1)
            fields[key] = value
    return fields, areas


def main():
    exe = shutil.which("udfinfo")
    if not exe:
        skip("udfinfo is not installed (apt-get install udftools)")
    checks = Checks()
    work = workdir("udfinfo")
    for name, recipe, want in CASES:
        image, record = build(work, name, recipe)
        run = subprocess.run([exe, image], capture_output=True, text=True)
        checks.equal(run.returncode, 0, name + ": udfinfo exit status")
        checks.equal(run.stderr, "", name + ": udfinfo warnings")
        fields, areas = parse(run.stdout)
        start, length = record["partition"]
        free = sum(count for _, count in record["free"])
        dirs = len(record["dir"])
        files = len(record["file"])
        checks.equal(fields.get("blocksize"), "2048", name + ": blocksize")
        checks.equal(fields.get("blocks"), str(record["sectors"]), name + ": blocks")
        checks.equal(fields.get("freeblocks"), str(free), name + ": freeblocks")
        checks.equal(fields.get("usedblocks"), str(length - free), name + ": usedblocks")
        checks.equal(fields.get("numfiles"), str(files), name + ": numfiles")
        checks.equal(fields.get("numdirs"), str(dirs), name + ": numdirs")
        checks.equal(fields.get("udfrev"), want["udfrev"], name + ": udfrev")
        checks.equal(fields.get("integrity"), "closed", name + ": integrity")
        checks.equal(fields.get("label"), want.get("label", "DVD_VR"), name + ": label")
        main_vds, reserve_vds, vds_length = record["vds"]
        expect = sorted([("VRS", 16, want["iso"] + 3), ("MVDS", main_vds, vds_length // 2048),
                         ("RVDS", reserve_vds, vds_length // 2048), ("LVID", record["lvid"][0], 1),
                         ("PSPACE", start, length)] + [("ANCHOR", a, 1) for a in record["anchor"]],
                        key=lambda area: area[1])
        checks.equal(areas, expect, name + ": areas")
    checks.finish()


if __name__ == "__main__":
    main()
