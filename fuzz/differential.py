#!/usr/bin/env python3
"""Runs the same inputs through the harnesses of two builds and compares their transcripts.

Usage: fuzz/differential.py --old DIR --new DIR [--work DIR] [--harness NAME ...] [--unsealed] [--verbose]
                            INPUT_DIR ...

DIR is the folder of a build's fuzz_* binaries (the fuzz preset: build/fuzz/fuzz). Each
INPUT_DIR holds one folder of inputs per harness (fuzz/corpus, fuzz/regressions).

One meaning for both builds. Every input is first rewritten so that both harnesses build
the same disc from it:
- Sealing: the image the input describes is written out again as one record per sector
  that is not all zeros, with the tag checksum and the descriptor CRC filled in for the
  descriptor at the start of every sector, for the File Identifier Descriptors that
  follow one, across sector ends, and for those embedded in a File Entry (before the
  File Entry itself), and the harness's flag 0x40 cleared. A build that checks tags and
  one that does not then read the same well-formed descriptors; only a tag's location
  still tells them apart.
- The fixed-layout harness gets flag 0x80: the image is then cut to 16384 sectors in
  both builds (a build without that flag always cut there; one with it cuts to
  10112 + 512 sectors without it).
With --unsealed the inputs run as they are.

Each input runs once in each build with VRS_FUZZ_TRANSCRIPT and VRS_FUZZ_STDOUT set: how
the run ended, every command block the drive received, and every file written with its
size and checksum, then the program's output without the status lines' rates (which
depend on the machine's speed). Leak checks are off: libFuzzer would run an input a
second time in a build whose run leaves memory allocated (a log kept across runs, say).

A difference is put in a class when its cause can be seen in the input and it is one the
newer build makes on purpose (the old build being the one before the tag checks, the
partition maps, the space tables and the other DVD-VR profiles):
- profile accepted: the recovery harness on a DVD-VR profile other than 0x0013, which
  the old build refused;
- profile refusal: a profile outside 0x0010-0x0016, refused by both in other words;
- map lookup: sectorscope reads the Logical Volume Descriptor again for the partition
  map, and does the same as the old build otherwise;
- read capacity: keep-going asks READ CAPACITY once a read is refused past the drive's
  last sector and reads nothing past it; the run ends the same, writes the same files (a
  mapfile's current position aside) and prints the same, and its commands are the old
  build's without some READs (or with READs cut short at the disc's end); in the rescue
  harness, whose first run crashes at a given READ, that crash then falls elsewhere:
  proved on the input without the crash;
- space table: the recovery harness on a partition whose header names a space table,
  where the old build said that the partition has no space bitmap (or "no Map");
- partition map: the Logical Volume Descriptor's map for the File Set's partition is not
  one type 1 map (a sparable or virtual one, another type, or a table that cannot be
  followed up to it);
- partition reference: a File Entry read last before the runs part has a long_ad or
  ext_ad, or a File Identifier there (or in the directory data read last) an ICB, whose
  partition reference names no type 1 map;
- tag check: the sector read last before the runs part, or one that the first notices
  where the outputs part name, holds a descriptor whose tag the newer build refuses (a
  location that is neither the sector nor its block in a partition the image describes,
  or a checksum or CRC the sealing could not reach).
The last four are then proved: the input is put right (the space tables taken out; one
type 1 map; the references set to the File Set's partition; every tag location the newer
build refuses set to the sector or its block) and both builds run again; they must agree
(sectorscope's map lookup and the read capacity class aside), or the difference is
unexplained after all.
Every other difference is unexplained too and listed with the first line where the
transcripts part (with --verbose, the classified ones too). The closing lines give the
counts; the exit status is 1 when any difference is unexplained.

The vrsplit harnesses read no disc and print no transcript: they are not run.
"""

import argparse
import collections
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SECTOR = 2048
HEADER = 36
SEAL_TAGS = 0x40
LARGE_DISC = 0x80
HARNESSES = ["sectorscope", "recovery", "fixed_layout", "rescue"]
FILE_IDENTIFIER = 257
FILE_ENTRY = 261
EXTENDED_FILE_ENTRY = 266
PARTITION = 5
LOGICAL_VOLUME = 6


def crc_itu(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def le16(d, at):
    return d[at] | (d[at + 1] << 8)


def le32(d, at):
    return struct.unpack_from("<I", d, at)[0]


def is_descriptor_tag(identifier):
    return 1 <= identifier <= 9 or 256 <= identifier <= 266


class Image:
    """A disc image as the harness builds it from an input: sparse, in sectors."""

    def __init__(self, data):
        self.header = bytearray(data[:HEADER].ljust(HEADER, b"\0"))
        self.sectors = le16(self.header, 6)
        self.blocks = {}
        p = HEADER
        while p + 6 <= len(data):
            sector, length = struct.unpack_from("<IH", data, p)
            p += 6
            self.write(sector * SECTOR, data[p:p + length])
            p += length

    def write(self, at, chunk):
        for i, byte in enumerate(chunk):
            if at + i >= self.sectors * SECTOR:
                break
            self.blocks.setdefault((at + i) // SECTOR, bytearray(SECTOR))[(at + i) % SECTOR] = byte

    def read(self, at, count):
        out = bytearray()
        while count > 0:
            sector, offset = divmod(at, SECTOR)
            n = min(count, SECTOR - offset)
            block = self.blocks.get(sector)
            out += block[offset:offset + n] if block else bytes(n)
            at, count = at + n, count - n
        return out

    def profile(self):
        return le16(self.header, 2)

    def tagged(self, identifier):
        """(sector, bytes) of every sector that starts with a tag of `identifier`."""
        return [(s, b) for s, b in sorted(self.blocks.items()) if le16(b, 0) == identifier]

    def encoded(self):
        out = bytearray(self.header)
        for sector in sorted(self.blocks):
            content = bytes(self.blocks[sector]).rstrip(b"\0")
            if content:
                out += struct.pack("<IH", sector, len(content)) + content
        return bytes(out)


def seal_tag(image, at, limit):
    """Fills in the checksum and CRC of the tag at byte `at`; the CRC only when the
    bytes it covers end before `limit`."""
    d = image.read(at, 16)
    covered = le16(d, 10)
    if at + 16 + covered <= limit:
        crc = crc_itu(image.read(at + 16, covered))
        d[8:10] = struct.pack("<H", crc)
    d[4] = sum(d[i] for i in range(16) if i != 4) & 0xFF
    image.write(at, d)


def fid_length(image, at):
    d = image.read(at, 38)
    return (38 + d[19] + le16(d, 36) + 3) & ~3


def seal_fid_chain(image, at, end):
    """The File Identifier Descriptors from `at` on, as long as one follows another."""
    while at + 38 <= end and le16(image.read(at, 2), 0) == FILE_IDENTIFIER:
        length = fid_length(image, at)
        seal_tag(image, at, end)
        at += length


def seal_sector(image, sector):
    start = sector * SECTOR
    d = image.blocks[sector]
    identifier = le16(d, 0)
    if not is_descriptor_tag(identifier):
        return
    if identifier in (FILE_ENTRY, EXTENDED_FILE_ENTRY) and le16(d, 34) & 7 == 3:
        data = 176 + le32(d, 168) if identifier == FILE_ENTRY else 216 + le32(d, 208)
        ad_length = le32(d, 172) if identifier == FILE_ENTRY else le32(d, 212)
        if data < SECTOR:
            seal_fid_chain(image, start + data, start + min(SECTOR, data + ad_length))
    if identifier == FILE_IDENTIFIER:
        seal_fid_chain(image, start, image.sectors * SECTOR)
    else:
        seal_tag(image, start, start + SECTOR)


def sealed(data, harness):
    """The input with its image written out sector by sector and its tags sealed."""
    image = Image(data)
    for sector in list(image.blocks):
        seal_sector(image, sector)
    image.header[0] &= ~SEAL_TAGS & 0xFF
    if harness == "fixed_layout":
        image.header[0] |= LARGE_DISC
    return image.encoded()


RESCUE_CRASH_AT = 20  # the rescue harness's header byte: the READ at which its first run crashes

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


def read_sectors(line):
    """The sectors a READ (10) or READ (12) command block asks for, else None."""
    b = bytes(int(x, 16) for x in line.split()[1:] if "=" not in x)
    if b[0] == 0x28:
        first = int.from_bytes(b[2:6], "big")
        return range(first, first + int.from_bytes(b[7:9], "big"))
    if b[0] == 0xA8:
        first = int.from_bytes(b[2:6], "big")
        return range(first, first + int.from_bytes(b[6:10], "big"))
    return None


def partition_map_is_plain(image):
    """Whether every Logical Volume Descriptor's map for its File Set's partition is a
    type 1 map that the map table reaches (as the newer build follows the table)."""
    for _, d in image.tagged(LOGICAL_VOLUME):
        reference = le16(d, 248 + 8)
        count = le32(d, 268)
        end = 440 + min(le32(d, 264), SECTOR - 440)
        p = 440
        for i in range(count):
            if p + 2 > end:
                break
            length = d[p + 1]
            if length < 2 or p + length > end:
                return False
            if i == reference:
                if d[p] != 1:
                    return False
                break
            p += length
    return True


def tag_refused(image, sector):
    """Why the newer build refuses the descriptor at the start of `sector`, or None."""
    d = image.read(sector * SECTOR, SECTOR)
    identifier = le16(d, 0)
    if not is_descriptor_tag(identifier):
        return None
    if d[4] != sum(d[i] for i in range(16) if i != 4) & 0xFF:
        return "tag checksum"
    covered = le16(d, 10)
    if 16 + covered <= SECTOR and crc_itu(d[16:16 + covered]) != le16(d, 8):
        return "descriptor CRC"
    if identifier == FILE_IDENTIFIER:
        return None  # no location is checked
    location = le32(d, 12)
    starts = [le32(p, 188) for _, p in image.tagged(PARTITION)]
    if location != sector and all((sector - start) & 0xFFFFFFFF != location for start in starts):
        return "tag location"
    return None


def with_locations_put_right(image):
    """Sets every tag location that the newer build would refuse set to the
    sector (a volume structure) or to its block in the first partition (a file
    structure), the tag checksums sealed again."""
    starts = [le32(p, 188) for _, p in image.tagged(PARTITION)]
    for sector in sorted(image.blocks):
        if tag_refused(image, sector) == "tag location":
            d = image.blocks[sector]
            location = sector if le16(d, 0) < 256 or not starts else (sector - starts[0]) & 0xFFFFFFFF
            d[12:16] = struct.pack("<I", location)
            seal_tag(image, sector * SECTOR, sector * SECTOR)  # the CRC does not cover the tag


def with_references_put_right(image, sectors):
    """Sets the partition reference of every long_ad and ext_ad in the File
    Entries at `sectors`, or of the ICBs of the File Identifiers there, to the File
    Set's partition."""
    volumes = image.tagged(LOGICAL_VOLUME)
    if not volumes:
        return
    reference = le16(volumes[0][1], 248 + 8)
    for sector in sectors:
        d = image.blocks.get(sector)
        if d is None or not foreign_reference(image, sector):
            continue
        extended = le16(d, 0) == EXTENDED_FILE_ENTRY
        start = 216 + le32(d, 208) if extended else 176 + le32(d, 168)
        end = min(SECTOR, start + (le32(d, 212) if extended else le32(d, 172)))
        identifiers = followed_identifiers(image, sector)
        for at in identifiers:
            image.write(at + 28, struct.pack("<H", reference))
        if identifiers:
            seal_sector(image, sector)
            continue
        size, at = (16, 8) if le16(d, 34) & 7 == 1 else (20, 16)
        for p in range(start, end - size + 1, size):
            d[p + at:p + at + 2] = struct.pack("<H", reference)
        seal_tag(image, sector * SECTOR, sector * SECTOR + SECTOR)


def with_plain_map(image):
    """Makes every Logical Volume Descriptor's map table one type 1 map
    of the first Partition Descriptor's partition, which the File Set names."""
    partitions = image.tagged(PARTITION)
    number = le16(partitions[0][1], 22) if partitions else 0
    for sector, d in image.tagged(LOGICAL_VOLUME):
        d[248 + 8:248 + 10] = b"\0\0"
        d[264:272] = struct.pack("<II", 6, 1)
        d[440:446] = struct.pack("<BBHH", 1, 6, 1, number)
        seal_tag(image, sector * SECTOR, sector * SECTOR + SECTOR)


def without_space_tables(image):
    """Takes the Unallocated and Freed Space Tables out of every Partition Header."""
    for sector, d in image.tagged(PARTITION):
        d[56:64] = bytes(8)
        d[56 + 24:56 + 32] = bytes(8)
        seal_tag(image, sector * SECTOR, sector * SECTOR + SECTOR)


def put_right(image, sectors):
    """The input with the causes of the classes below that can be undone undone: one
    type 1 map where the maps are not plain, the partition references of the File
    Entries at `sectors`, and the tag locations."""
    if not partition_map_is_plain(image):
        with_plain_map(image)
    with_references_put_right(image, sectors)
    with_locations_put_right(image)
    return image.encoded()


def is_map_lookup(old, new, image):
    """Whether `new` is `old` with one more run of single-sector READs that search the
    main volume descriptor sequence again (sectorscope's partition map lookup)."""
    anchor = image.read(256 * SECTOR, 24)
    first, length = le32(anchor, 20), le32(anchor, 16) // SECTOR
    extra = len(new) - len(old)
    if extra <= 0:
        return False
    at = next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), len(old))
    run = new[at:at + extra]
    sectors = [read_sectors(line) if line.startswith("cdb ") else None for line in run]
    return (new[:at] + new[at + extra:] == old and all(s is not None and len(s) == 1 for s in sectors) and
            [s[0] for s in sectors] == list(range(first, first + extra)) and extra <= max(length, 1))


def is_capacity_shortcut(old, new):
    """Whether `new` is `old` with READ CAPACITY asked once a read was refused past the
    drive's last sector, and reads there left out: the run ends the same, writes the same
    files (a mapfile of the same size: its current position is the sector where reading
    stopped, which differs; its areas are the harness's own check) and prints the same;
    its commands are the old build's without some READs, each READ it does send being one
    the old build sent or one cut short at the same first sector."""
    capacity = lambda line: line.startswith("cdb 25 ")
    if not any(capacity(line) for line in new):
        return False
    def outcome(lines):  # a mapfile's checksum aside: its current position is where reading stopped
        return [" ".join(l.split()[:3]) if l.startswith("file ") and l.split()[1].endswith(".map") else l
                for l in lines if not l.startswith("cdb ")]

    if outcome(old) != outcome(new):
        return False
    old_commands = [l for l in old if l.startswith("cdb ") and not capacity(l)]
    new_commands = [l for l in new if l.startswith("cdb ") and not capacity(l)]

    def matches(was, now):
        if was == now:
            return True
        a, b = read_sectors(was), read_sectors(now)
        return a is not None and b is not None and a.start == b.start and len(b) <= len(a)

    i = 0
    for command in new_commands:
        while i < len(old_commands) and not matches(old_commands[i], command):
            if read_sectors(old_commands[i]) is None:
                return False
            i += 1
        if i == len(old_commands):
            return False
        i += 1
    return all(read_sectors(line) is not None for line in old_commands[i:])


def names_a_space_table(image):
    """Whether a Partition Descriptor's header names an Unallocated or Freed Space Table."""
    return any(le32(d, 56 + 0) & 0x3FFFFFFF or le32(d, 56 + 24) & 0x3FFFFFFF for _, d in image.tagged(PARTITION))


def identifier_chain(image, sector):
    """The byte positions of the File Identifier Descriptors that the sector holds: a
    chain from its start, or the one embedded in the File Entry there."""
    start = sector * SECTOR
    d = image.read(start, SECTOR)
    identifier = le16(d, 0)
    if identifier == FILE_IDENTIFIER:
        at, end = start, image.sectors * SECTOR
    elif identifier in (FILE_ENTRY, EXTENDED_FILE_ENTRY) and le16(d, 34) & 7 == 3:
        data = 176 + le32(d, 168) if identifier == FILE_ENTRY else 216 + le32(d, 208)
        length = le32(d, 172) if identifier == FILE_ENTRY else le32(d, 212)
        if data >= SECTOR:
            return []
        at, end = start + data, start + min(SECTOR, data + length)
    else:
        return []
    chain = []
    while at + 38 <= end and le16(image.read(at, 2), 0) == FILE_IDENTIFIER:
        chain.append(at)
        at += fid_length(image, at)
    return chain


def followed_identifiers(image, sector):
    """The positions of the File Identifiers at `sector` whose ICB a walk follows (all but
    the parent's)."""
    return [at for at in identifier_chain(image, sector) if not image.read(at + 18, 1)[0] & 8]


def foreign_reference(image, sector):
    """Whether the File Entry at the start of `sector` has a long_ad or ext_ad, or a File
    Identifier there has an ICB, whose partition reference names neither the File Set's
    partition nor a type 1 map."""
    d = image.read(sector * SECTOR, SECTOR)
    identifier = le16(d, 0)  # a run without keep-going takes any sector for a File Entry
    form = le16(d, 34) & 7
    extended = identifier == EXTENDED_FILE_ENTRY
    start = 216 + le32(d, 208) if extended else 176 + le32(d, 168)
    end = min(SECTOR, start + (le32(d, 212) if extended else le32(d, 172)))
    references = {le16(image.read(at + 28, 2), 0) for at in followed_identifiers(image, sector)}
    if form in (1, 2) and start < SECTOR:
        size, at = (16, 8) if form == 1 else (20, 16)
        references |= {le16(d, p + at) for p in range(start, end - size + 1, size) if le32(d, p) & 0x3FFFFFFF}
    for _, v in image.tagged(LOGICAL_VOLUME):
        allowed = {le16(v, 248 + 8)}
        p = 440
        for i in range(min(le32(v, 268), 32)):
            if p + 2 > 440 + min(le32(v, 264), SECTOR - 440) or v[p + 1] < 2:
                break
            if v[p] == 1:
                allowed.add(i)
            p += v[p + 1]
        if le32(v, 268) and references - allowed:
            return True
    return False


def named_sectors(lines):
    """The sectors that notices and errors name ("sector N")."""
    found = []
    for line in lines:
        words = line.replace("(", " ").replace(")", " ").replace(":", " ").split()
        found += [int(b) for a, b in zip(words, words[1:]) if a == "sector" and b.isdigit()]
    return found


def classify(harness, image, old, new):
    """The class of an intended difference and, where the input can be put right so
    that the cause is gone, that input (on which the two builds must then agree);
    None when no class fits."""
    profile = image.profile()
    if harness == "recovery" and profile != 0x0013 and 0x0010 <= profile <= 0x0016:
        return "profile accepted", None
    if harness == "recovery" and profile != 0 and not 0x0010 <= profile <= 0x0016:
        refused = [line for line in new if line.startswith("Not a DVD-VR disc: profile")]
        if refused and [line for line in old if line != "Not DVD-RW VR"] == [line for line in new
                                                                             if line not in refused]:
            return "profile refusal", None
    if harness == "sectorscope" and is_map_lookup(old, new, image):
        return "map lookup", None
    if harness == "recovery" and names_a_space_table(image) and any("has no space bitmap" in line or line == "no Map"
                                                                    for line in old):
        without_space_tables(image)
        return "space table", image.encoded()
    old_commands = [line for line in old if line.startswith("cdb ")]
    new_commands = [line for line in new if line.startswith("cdb ")]
    at = next((i for i, (a, b) in enumerate(zip(old_commands, new_commands)) if a != b),
              min(len(old_commands), len(new_commands)))
    reads = [r for r in map(read_sectors, new_commands[:at]) if r]
    # The sector read last before the commands part, and those that the first
    # notices where the outputs part name.
    start = old.index("=== output")
    output_at = next((i for i, (a, b) in enumerate(zip(old[start:], new[start:])) if a != b), len(old)) + start
    candidates = (list(reads[-1]) if reads else []) + named_sectors(old[output_at:output_at + 2] +
                                                                    new[output_at:output_at + 2])
    kind = None
    if not partition_map_is_plain(image):
        kind = "partition map"
    elif any(foreign_reference(image, s) for s in candidates):
        kind = "partition reference"
    else:
        why = [w for w in (tag_refused(image, s) for s in candidates) if w]
        if why:
            kind = "tag check (" + why[0] + ")"
    return kind, put_right(image, candidates) if kind else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--work", default=None)
    parser.add_argument("--harness", action="append")
    parser.add_argument("--unsealed", action="store_true", help="run the inputs as they are")
    parser.add_argument("--verbose", action="store_true", help="list the classified differences too")
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args()
    args.old, args.new = os.path.abspath(args.old), os.path.abspath(args.new)

    work = tempfile.mkdtemp(prefix="vrs-differential-", dir=args.work)
    counts = collections.Counter()
    classes = collections.Counter()
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
                if not args.unsealed:
                    data = sealed(data, harness)
                path = os.path.join(work, "input")
                with open(path, "wb") as f:
                    f.write(data)
                old, old_status = transcript(os.path.join(args.old, "fuzz_" + harness), path, work)
                new, new_status = transcript(os.path.join(args.new, "fuzz_" + harness), path, work)
                counts["run"] += 1
                counts[harness + " run"] += 1
                if old == new and old_status == new_status:
                    counts["identical"] += 1
                    counts[harness + " identical"] += 1
                    continue
                counts["differing"] += 1
                at = next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), min(len(old), len(new)))
                if old_status == new_status and is_capacity_shortcut(old, new):
                    kind, repaired = "read capacity", None
                elif harness == "rescue" and any(line.startswith("cdb 25 ") for line in new):
                    # The first run crashes at the Nth READ, which falls elsewhere when
                    # fewer READs are sent: proved with that crash taken out.
                    uncrashed = Image(data)
                    uncrashed.header[RESCUE_CRASH_AT] = 0
                    kind, repaired = "read capacity (its crash point moved)", uncrashed.encoded()
                else:
                    kind, repaired = classify(harness, Image(data), old, new) if harness != "rescue" else (None, None)
                if repaired is not None:
                    with open(path, "wb") as f:
                        f.write(repaired)
                    old_right = transcript(os.path.join(args.old, "fuzz_" + harness), path, work)
                    new_right = transcript(os.path.join(args.new, "fuzz_" + harness), path, work)
                    # sectorscope's partition map lookup may remain.
                    same_status = old_right[1] == new_right[1]
                    if old_right != new_right and not (same_status and (
                            is_capacity_shortcut(old_right[0], new_right[0]) or
                            (harness == "sectorscope" and is_map_lookup(old_right[0], new_right[0], Image(repaired))))):
                        kind = None
                        print(f"({harness}/{os.path.basename(folder)}/{name}: the two builds still differ "
                              f"with the input put right)")
                classes[kind or "unexplained"] += 1
                if kind and not args.verbose:
                    continue
                print(f"{'DIFFERS' if not kind else kind} {harness}/{os.path.basename(folder)}/{name} "
                      f"(exit {old_status} / {new_status}) line {at + 1}:")
                print("  old: " + (old[at] if at < len(old) else "(end)"))
                print("  new: " + (new[at] if at < len(new) else "(end)"))
                sys.stdout.flush()
    shutil.rmtree(work, ignore_errors=True)
    for harness in args.harness or HARNESSES:
        print(f"{harness}: {counts[harness + ' run']} run, {counts[harness + ' identical']} identical")
    print(f"inputs run {counts['run']}, identical {counts['identical']}, differing {counts['differing']}")
    for kind, n in sorted(classes.items()):
        print(f"  {kind}: {n}")
    return 1 if classes["unexplained"] else 0


if __name__ == "__main__":
    sys.exit(main())
