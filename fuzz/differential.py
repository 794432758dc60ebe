#!/usr/bin/env python3
"""Runs the same inputs through the harnesses of two builds and compares their transcripts.

Usage: fuzz/differential.py --old DIR --new DIR [--work DIR] [--harness NAME ...] [--unsealed] INPUT_DIR ...

DIR is the folder of a build's fuzz_* binaries (the fuzz preset: build/fuzz/fuzz). Each
INPUT_DIR holds one folder of inputs per harness (fuzz/corpus, fuzz/regressions). Every
input is first sealed: the image it describes is written out again as one record per
sector that is not all zeros, with the tag checksum and the CRC of the descriptor at the
start of every sector (and of the File Identifier Descriptors after one) filled in as the
harness's flag 0x40 fills them for the sectors its records start in, and that flag cleared.
A build that checks tags
and one that does not then read the same well-formed descriptors; only a tag's location
can still tell them apart. With --unsealed the inputs run as they are.

Each sealed input runs once in each build with VRS_FUZZ_TRANSCRIPT and VRS_FUZZ_STDOUT set:
how the run ended, every command block the drive received, and every file written with its
size and checksum, then the program's output without the status lines' rates (which depend
on the machine's speed). Leak checks are off: libFuzzer would run an input a second time
in a build whose run leaves memory allocated (a log kept across runs, say). The
transcripts and the outputs must be identical; the inputs whose transcripts differ are
listed with the first line where they part. The exit status is 1 when any differs.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SECTOR = 2048
HEADER = 36
SEAL_TAGS = 0x40
HARNESSES = ["sectorscope", "recovery", "fixed_layout", "rescue"]


def crc_itu(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def is_descriptor_tag(identifier):
    return 1 <= identifier <= 9 or 256 <= identifier <= 266


def seal_one(d, at, available):
    covered = d[at + 10] | (d[at + 11] << 8)
    if 16 + covered <= available:
        crc = crc_itu(d[at + 16:at + 16 + covered])
        d[at + 8] = crc & 0xFF
        d[at + 9] = crc >> 8
    d[at + 4] = sum(d[at + i] for i in range(16) if i != 4) & 0xFF


def seal_sector(d):
    """The harness's sealTags on one whole sector (a bytearray of 2048 bytes)."""
    if not is_descriptor_tag(d[0] | (d[1] << 8)):
        return
    seal_one(d, 0, SECTOR)
    p = 0
    while d[p] == 1 and d[p + 1] == 1:  # 257: a File Identifier Descriptor
        length = (38 + d[p + 19] + (d[p + 36] | (d[p + 37] << 8)) + 3) & ~3
        seal_one(d, p, SECTOR - p)
        p += length
        if p + 38 > SECTOR:
            break


def sealed(data):
    """The input with its image written out sector by sector and its tags sealed."""
    header = bytearray(data[:HEADER].ljust(HEADER, b"\0"))
    sectors = header[6] | (header[7] << 8)
    image = {}
    p = HEADER
    while p + 6 <= len(data):
        sector, length = struct.unpack_from("<IH", data, p)
        p += 6
        chunk = data[p:p + length]
        p += len(chunk)
        for i in range(0, len(chunk)):
            at = sector * SECTOR + i
            if at >= sectors * SECTOR:
                break
            image.setdefault(at // SECTOR, bytearray(SECTOR))[at % SECTOR] = chunk[i]
    for sector in image:
        seal_sector(image[sector])
    header[0] &= ~SEAL_TAGS & 0xFF
    out = bytearray(header)
    for sector in sorted(image):
        content = bytes(image[sector]).rstrip(b"\0")
        if content:
            out += struct.pack("<IH", sector, len(content)) + content
    return bytes(out)


TRANSCRIPT_LINES = ("--- ended=", "cdb ", "file ")


def transcript(binary, path, work):
    """The run's transcript lines, then the program's output without its rates."""
    env = dict(os.environ, VRS_FUZZ_TRANSCRIPT="1", VRS_FUZZ_STDOUT="1", TMPDIR=work)
    run = subprocess.run([binary, "-rss_limit_mb=4096", "-detect_leaks=0", path], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, cwd=work, timeout=600, check=False)
    lines = run.stdout.decode(errors="replace").replace("\r", "\n").split("\n")
    # The status lines carry the rate and the time left, which differ from run to run.
    output = [line for line in lines if not line.startswith(TRANSCRIPT_LINES) and "B/s" not in line]
    return [line for line in lines if line.startswith(TRANSCRIPT_LINES)] + ["=== output"] + output, run.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--work", default=None)
    parser.add_argument("--harness", action="append")
    parser.add_argument("--unsealed", action="store_true", help="run the inputs as they are")
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args()
    args.old, args.new = os.path.abspath(args.old), os.path.abspath(args.new)

    work = tempfile.mkdtemp(prefix="vrs-differential-", dir=args.work)
    counts = {"run": 0, "identical": 0, "differing": 0}
    for harness in args.harness or HARNESSES:
        for folder in args.inputs:
            source = os.path.join(folder, harness)
            if not os.path.isdir(source):
                continue
            for name in sorted(os.listdir(source)):
                if name.endswith(".md"):
                    continue
                with open(os.path.join(source, name), "rb") as f:
                    data = f.read()
                path = os.path.join(work, "input")
                with open(path, "wb") as f:
                    f.write(data if args.unsealed else sealed(data))
                old, old_status = transcript(os.path.join(args.old, "fuzz_" + harness), path, work)
                new, new_status = transcript(os.path.join(args.new, "fuzz_" + harness), path, work)
                counts["run"] += 1
                if old == new and old_status == new_status:
                    counts["identical"] += 1
                    continue
                counts["differing"] += 1
                old_lines, new_lines = old, new
                at = next((i for i, (a, b) in enumerate(zip(old_lines, new_lines)) if a != b),
                          min(len(old_lines), len(new_lines)))
                print(f"DIFFERS {harness}/{os.path.basename(folder)}/{name} (exit {old_status} / {new_status}) "
                      f"line {at + 1}:")
                print("  old: " + (old_lines[at] if at < len(old_lines) else "(end)"))
                print("  new: " + (new_lines[at] if at < len(new_lines) else "(end)"))
                sys.stdout.flush()
    shutil.rmtree(work, ignore_errors=True)
    print(f"inputs run {counts['run']}, identical {counts['identical']}, differing {counts['differing']}")
    return 1 if counts["differing"] else 0


if __name__ == "__main__":
    sys.exit(main())
