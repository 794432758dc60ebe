#!/usr/bin/env python3
"""Runs sectorscope, vrsalvage -r and vrsalvage --files on the disc images that other people's
tools made (tests/images) and checks their output byte for byte against what
the images' facts and the image bytes themselves say.

usage: images_test.py SECTORSCOPE VRSALVAGE IMAGES_DIR
"""
import lzma
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from expect import Checks, dump, progress, recovery_file, runs_to_set, run  # noqa: E402

check = Checks()


def read_facts(path):
    facts = {"free": [], "dirs": {}, "files": {}}
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            key = words[0]
            if key == "sectors":
                facts["sectors"] = int(words[1])
            elif key == "partition":
                facts["start"] = int(words[1])
            elif key == "bitmap":
                facts["bitmap"] = None if words[1] == "none" else (int(words[1]), int(words[2]), int(words[3]))
            elif key == "free":
                facts["free"].append((int(words[1]), int(words[2])))
            elif key == "dir":
                facts["dirs"][words[1]] = {"tag": int(words[3]), "data": words[6]}
            elif key == "file":
                facts["files"][words[1]] = {"length": int(words[4]), "form": int(words[5]), "extents": []}
            elif key == "extent":
                facts["files"].setdefault(words[1], {"length": 0, "form": 3, "extents": []})["extents"].append((int(words[2]), int(words[3]), int(words[4])))
            elif key == "root_fe":
                facts["root_tag"] = int(words[2])
    return facts



def fid_names(data):
    """File names in a directory's data, in order (8-bit names only)."""
    names, p = [], 0
    while p + 38 <= len(data):
        lfi = data[p + 19]
        liu = data[p + 36] | (data[p + 37] << 8)
        name = data[p + 38 + liu:p + 38 + liu + lfi]
        if lfi and name[0] == 8:
            names.append(name[1:].decode("latin-1"))
        p += (38 + liu + lfi + 3) & ~3
    return names


def sectorscope_checks(scope, image, facts, sectors_bytes, work):
    start, end = facts["start"], facts["sectors"]
    usable = end - start

    def sector(lba):
        return sectors_bytes[lba * 2048:(lba + 1) * 2048]

    for text, block in (("0", 0), ("16", 16), ("0x10", 16), ("0X10", 16), (str(usable - 1), usable - 1)):
        status, out = run([scope, image, text], work)
        check(status == 0 and out == dump(sector(start + block)),
              "%s: sectorscope block %s is sector %d" % (os.path.basename(image), text, start + block))
    for text in (str(usable), "-1"):
        status, out = run([scope, image, text], work)
        check(status == 255 and out == b"*** Error!\nBlock Number error\n",
              "%s: sectorscope block %s refused" % (os.path.basename(image), text))


def salvage_checks(vrsalvage, image, facts, sectors_bytes, images_dir, work):
    name = os.path.basename(image)
    start, total = facts["start"], facts["sectors"]
    rtav = facts["dirs"].get("/DVD_RTAV")
    with open(os.path.join(images_dir, rtav["data"]), "rb") as f:
        order = [n for n in fid_names(f.read()) if n in ("VR_MANGR.IFO", "VR_MOVIE.VRO")]
    bitmap = facts["bitmap"]
    expected_out = b""
    expected_files = {}
    for n in order:
        if bitmap is None:
            expected_out += (b"IFO" if n == "VR_MANGR.IFO" else b"VRO") + b" Processing\nno Map"
            continue
        map_bytes = min(bitmap[2], bitmap[1] - 24)
        out, data = recovery_file(n, start, total, map_bytes, runs_to_set(facts["free"]), sectors_bytes)
        expected_out += out
        expected_files[n.replace(".", "_R.")] = data
    expected_out += b"completed\n"
    directory = tempfile.mkdtemp(dir=work)
    status, out = run([vrsalvage, "-r", image], directory)
    check(status == 0, "%s: vrsalvage -r status %d" % (name, status))
    check(out == expected_out, "%s: vrsalvage -r output\n  got      %r\n  expected %r" % (name, out[:300], expected_out[:300]))
    for file_name, want in expected_files.items():
        path = os.path.join(directory, file_name)
        data = open(path, "rb").read() if os.path.exists(path) else None
        check(data == want, "%s: %s holds the %d reusable blocks" % (name, file_name, len(want) // 2048))
    if bitmap is None:
        check(os.listdir(directory) == [], "%s: no recovery file without a bitmap" % name)


def files_checks(vrsalvage, image, facts, sectors_bytes, work):
    """--files copies each file of DVD_RTAV as its extents in the facts give it."""
    name = os.path.basename(image)
    directory = tempfile.mkdtemp(dir=work)
    status, out = run([vrsalvage, "--files", image], directory)
    check(status == 0, "%s: vrsalvage --files status %d\n%r" % (name, status, out[:300]))
    for path, file in facts["files"].items():
        if not path.startswith("/DVD_RTAV/") or file["form"] == 3:
            continue
        want = b""
        for kind, block, length in file["extents"]:
            at = (facts["start"] + block) * 2048
            want += sectors_bytes[at:at + length] if kind == 0 else bytes(length)
        want = want[:file["length"]] + bytes(max(0, file["length"] - len(want)))
        copy = os.path.join(directory, path.split("/")[-1])
        data = open(copy, "rb").read() if os.path.exists(copy) else None
        check(data == want, "%s: --files copies %s byte for byte" % (name, path))


def main():
    scope, vrsalvage, images_dir = (os.path.abspath(a) for a in sys.argv[1:4])
    work = tempfile.mkdtemp()
    try:
        for entry in sorted(os.listdir(images_dir)):
            if not entry.endswith(".img.xz"):
                continue
            base = entry[:-len(".img.xz")]
            facts = read_facts(os.path.join(images_dir, base + ".facts"))
            with lzma.open(os.path.join(images_dir, entry)) as f:
                data = f.read()
            image = os.path.join(work, base + ".img")
            with open(image, "wb") as f:
                f.write(data)
            sectorscope_checks(scope, image, facts, data, work)
            # File Entries of both kinds (261, 266) are walked.
            if "/DVD_RTAV" in facts["dirs"]:
                salvage_checks(vrsalvage, image, facts, data, images_dir, work)
                files_checks(vrsalvage, image, facts, data, work)
            os.remove(image)
    finally:
        shutil.rmtree(work)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main())
