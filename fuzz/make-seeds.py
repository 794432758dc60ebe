#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz harnesses (corpus/HARNESS/) from disc images.

Usage: fuzz/make-seeds.py [--mkvrdisc PATH] [--out DIR] [--regressions]

Sources: the third-party images tests/images/*.img.xz, and, when the DVD-VR
image builder is given, the discs of the recipes below. Each image becomes an
input in the harnesses' format (see harness.h): a header for a DVD-RW in
Restricted Overwrite mode, then one record per sector worth keeping, trimmed of
its trailing zeros. File data is left out (MPEG packs, the builder's numbered
filler, text written by the image scripts): the programs only copy it, and a
seed stays a few kilobytes. For the fixed-layout harness only the signatures at
8752 and 10112 matter, so its seeds hold nothing else.

Every seed also comes in variants that move the end of the recorded area (NWA
only, Track Size only, an end inside the partition) and with a read fault, so
that the fuzzer starts from each of the drive's answers.

With --regressions it (re)writes the hand-made inputs of regressions/ instead:
small discs built here from the descriptors up, each aimed at one fault (see
regressions/README.md).
"""

import argparse
import lzma
import os
import struct
import subprocess
import sys
import tempfile

SECTOR = 2048
HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.join(HERE, "..", "tests", "images")

LRA_V, NWA_V, LRA_GIVEN, NWA_GIVEN, TRACK_SIZE_GIVEN, FAULT, SEAL_TAGS, LARGE = 1, 2, 4, 8, 16, 32, 64, 128
CHECK_CONDITION, STATUS_ONLY, SHORT_TRANSFER, PASS_FAILURE, GOOD = range(5)
LIMITS = {"sectorscope": 32768, "recovery": 32768, "fixed_layout": 16384}

# Discs of the image builder: the layouts a recorder writes, and the odd ones
# the walk must survive.
RECIPES = {
    "standard": """sectors 12000
""",
    "forms": """sectors 14000
nsr 3
dir / form=long
dir /DVD_RTAV form=ext liu=32
deleted /DVD_RTAV/VR_MANGR.IFO fe=+4000
deleted /DVD_RTAV/VR_MOVIE.VRO
file /DVD_RTAV/VR_MOVIE.VRO form=long
extent 0 10112 40s
continue +3000
extent 1 10152 10s
extent 2 - 5s
continue auto
extent 0 10300 100s
file /DVD_RTAV/VR_MANGR.IFO form=ext ea=48 liu=7
dir /EMB form=embedded
file /EMB/SMALL.TXT form=embedded size=300 content=ifo
dir /EMB/INNER form=short
continue +3001
continue +3002 length=100
extent 0 auto 40
file /ROOT.BIN size=5000
""",
    "erased": """sectors 16000
bitmap-bits 12000
mark-used +200 3
mark-free +9000 2
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 100s
extent 0 10342 50s
erased 10212 130s
erased +12500 20s
""",
    "hostile": """sectors 12000
iso9660 4
anchors 256 last
vds-length 1024
vds-order lvd-pd
extra-pd 3 5000 77 after
bitmap +20
bitmap-nbytes 5
bitmap-extent 100000
fsd +10
""",
    "nobitmap": """sectors 12000
bitmap none
""",
    "table": """sectors 12000
space table
""",
    "continuations": """sectors 14000
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO form=short
extent 0 8752 600s
continue +3000
extent 1 9352 100s
extent 0 9452 660s
file /DVD_RTAV/VR_MOVIE.VRO form=long
extent 0 10112 40s
continue +3001
extent 1 10152 10s
extent 2 - 5s
continue auto
extent 0 10300 100s
""",
    # The movie file's continuation extent leads back to itself.
    "loop": """sectors 14000
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
file /DVD_RTAV/VR_MOVIE.VRO form=long
extent 0 10112 40s
continue +3001
extent 1 10152 10s
extent 2 - 5s
continue auto
extent 0 10300 100s
set +3001 60 4 3001
""",
    # Directories nested deeper than the walk goes.
    "deep": "sectors 12000\n" + "".join("dir %s\n" % ("/D" * k) for k in range(1, 67)),
    "short-ifo": """sectors 16384
label SAMPLE_DVDVR
vds 32 last-16
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO form=short
extent 0 8752 300s
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 2000s
extent 1 12112 100s
extent 0 12400 1000s
erased 12212 150s
""",
}

# The discs whose recovery seeds also come with the drive's other answers.
DRIVE_VARIANTS = ("mkudffs-102", "mkvrdisc-standard", "mkvrdisc-continuations")

# The discs whose recovery seeds also come with their tags sealed by the
# harness: Extended File Entries, a sparable partition, every descriptor form.
SEALED = ("mkudffs-201", "mkudffs-dvdrw", "mkvrdisc-forms")

# Bytes that only file data starts with or holds.
DATA_MARKS = (b"IFO sector", b"MOVIE sector", b"ERASED sector", b"Written after")


def header(sectors, flags=LRA_V, lra=0, nwa=0, track_size=0, block=0, fault=None):
    kind, opcode, skip, status, sense, transfer, lba = fault or (0, 0xFF, 0, 0, (0, 0, 0), 0, 0xFFFFFFFF)
    return struct.pack("<BBHHHIIIIBBBBBBHI", flags | (FAULT if fault else 0), kind, 0x0013, 1, sectors,
                       lra, nwa, track_size, block, opcode, skip, status, sense[0], sense[1], sense[2],
                       transfer, lba)


def record(sector, data):
    return struct.pack("<IH", sector, len(data)) + data


def tagged(s):
    """A sector that starts with a UDF descriptor tag (identifier and checksum right)."""
    ident = struct.unpack_from("<H", s, 0)[0]
    if not (1 <= ident <= 9 or 256 <= ident <= 266):
        return False
    return (sum(s[0:4]) + sum(s[5:16])) & 0xFF == s[4]


def keep(index, s):
    if s.count(0) == SECTOR:
        return False
    if 16 <= index < 64 or tagged(s):
        return True
    if s[:4] == b"\x00\x00\x01\xba" or s[:12] == b"DVD_RTR_VMG0" or any(m in s for m in DATA_MARKS):
        return False
    # Untagged metadata: the rest of a bitmap or of a directory, short texts.
    return True


def file_data(facts):
    """The sectors of file data and erased recordings that a facts or record file lists."""
    lines = [line.split() for line in facts.splitlines() if line.strip()]
    start = next((int(w[1]) for w in lines if w[0] == "partition"), 0)
    dirs = {w[1] for w in lines if w[0] == "dir"}
    data = set()
    for w in lines:
        if w[0] == "extent" and w[1] not in dirs and w[2] == "0":  # recorded data
            first, length = int(w[3]), int(w[4])
            data.update(range(start + first, start + first + (length + SECTOR - 1) // SECTOR))
        elif w[0] == "erased":
            data.update(range(start + int(w[1]), start + int(w[1]) + int(w[2])))
    return data


def metadata(image, facts):
    sectors = len(image) // SECTOR
    skip = file_data(facts)
    out = b""
    for i in range(sectors):
        s = image[i * SECTOR:(i + 1) * SECTOR]
        if i not in skip and keep(i, s):
            out += record(i, s.rstrip(b"\x00"))
    # The signatures that the fixed layout looks for.
    for i in (8752, 10112):
        if i < sectors and image[i * SECTOR:(i + 1) * SECTOR].count(0) != SECTOR:
            out += record(i, image[i * SECTOR:i * SECTOR + 32].rstrip(b"\x00"))
    return sectors, out


def partition(image):
    """Start and length of the first partition, from the sequence the anchor at 256 names."""
    anchor = image[256 * SECTOR:257 * SECTOR]
    length, location = struct.unpack_from("<II", anchor, 16)
    for i in range(min(length // SECTOR, 64)):
        s = image[(location + i) * SECTOR:(location + i + 1) * SECTOR]
        if len(s) == SECTOR and struct.unpack_from("<H", s, 0)[0] == 5:
            return struct.unpack_from("<II", s, 188)
    return 0, 0


def seeds(name, image, facts):
    sectors, records = metadata(image, facts)
    start, length = partition(image)
    end = sectors - 1
    def read_error(lba):  # MEDIUM ERROR, UNRECOVERED READ ERROR on one sector
        return (CHECK_CONDITION, 0x28, 0, 2, (0x03, 0x11, 0x00), 0, lba)
    result = {"sectorscope": {}, "recovery": {}, "fixed_layout": {}}
    if sectors > LIMITS["recovery"]:
        print("make-seeds.py: %s: %d sectors, more than the harnesses take; skipped" % (name, sectors))
        return result
    for block in (0, 2, length - 1 if length else 1):
        result["sectorscope"]["%s-block%d" % (name, block)] = header(sectors, block=block) + records
    result["sectorscope"][name + "-nwa"] = header(sectors, NWA_V, block=1) + records
    recovery = result["recovery"]
    recovery[name] = header(sectors) + records
    recovery[name + "-short"] = header(sectors, LRA_V | LRA_GIVEN, lra=start + 9000) + records
    if name in SEALED:  # mutated descriptors keep their tags valid
        recovery[name + "-sealed"] = header(sectors, LRA_V | SEAL_TAGS) + records
    if name in DRIVE_VARIANTS:  # the other answers of the drive, on a few discs only
        recovery[name + "-nwa"] = header(sectors, NWA_V | NWA_GIVEN, nwa=end) + records
        recovery[name + "-tracksize"] = header(sectors, TRACK_SIZE_GIVEN, track_size=sectors) + records
        recovery[name + "-fault"] = header(sectors, fault=read_error(start + 9000)) + records
    if sectors <= LIMITS["fixed_layout"]:
        signatures = b"".join(record(i, image[i * SECTOR:i * SECTOR + 16].rstrip(b"\x00"))
                              for i in (8752, 10112) if i < sectors)
        fixed = result["fixed_layout"]
        fixed[name] = header(sectors) + signatures
        fixed[name + "-nwa"] = header(sectors, NWA_V) + signatures
        if name in DRIVE_VARIANTS:  # the larger image limit, on a few discs only
            fixed[name + "-large"] = header(sectors, LRA_V | LARGE) + signatures
        fixed[name + "-before-movie"] = header(sectors, LRA_V | LRA_GIVEN, lra=10000) + signatures
        fixed[name + "-fault"] = header(sectors, fault=read_error(10200)) + signatures
        fixed[name + "-short-transfer"] = header(sectors, fault=(SHORT_TRANSFER, 0x28, 3, 0, (0, 0, 0),
                                                                 100, 0xFFFFFFFF)) + signatures
    return result


class Crafted:
    """A disc built from the descriptors up: only the fields the programs read are set.

    Recognition at 16, the anchor at 256 naming a sequence at 32 (Partition
    Descriptor at 32, Logical Volume Descriptor at 33), the File Set Descriptor
    at partition block 0 and the root File Entry at block 1."""

    def __init__(self, sectors, start, flags=LRA_V, lra=0):
        self.start = start
        # The harness fills in each descriptor's tag checksum and CRC; the
        # locations are set here.
        self.head = header(sectors, flags | SEAL_TAGS, lra=lra)
        self.body = record(16, b"\x00BEA01\x01")
        anchor = bytearray(24)
        struct.pack_into("<H", anchor, 0, 2)
        struct.pack_into("<II", anchor, 16, 16 * SECTOR, 32)
        struct.pack_into("<I", anchor, 12, 256)
        self.body += record(256, bytes(anchor))
        self.partition = bytearray(196)
        struct.pack_into("<H", self.partition, 0, 5)
        struct.pack_into("<I", self.partition, 12, 32)
        struct.pack_into("<II", self.partition, 188, start, sectors - start)
        logical = bytearray(256)
        struct.pack_into("<H", logical, 0, 6)
        struct.pack_into("<I", logical, 12, 33)
        self.body += record(33, bytes(logical))
        self.spare = None  # (packet length, sector): blocks of packet 0 written there too
        self.fileset = bytearray(408)
        struct.pack_into("<H", self.fileset, 0, 256)
        struct.pack_into("<I", self.fileset, 404, 1)
        self.block(0, self.fileset)

    def block(self, number, data):
        data = bytearray(data)
        if len(data) >= 16 and data[0:2] != b"\0\0" and data[0:2] != bytes([1, 1]):
            struct.pack_into("<I", data, 12, number)
        self.body += record(self.start + number, bytes(data))
        if self.spare and number < self.spare[0]:
            self.body += record(self.spare[1] + number, bytes(data))

    def bitmap(self, block, extent, n):
        struct.pack_into("<II", self.partition, 56 + 8, extent, block)
        descriptor = bytearray(24)
        struct.pack_into("<H", descriptor, 0, 264)
        struct.pack_into("<I", descriptor, 20, n)
        self.block(block, descriptor)

    def entry(self, number, size, extent_block):
        """A File Entry at `number` whose data is one short_ad extent."""
        fe = bytearray(184)
        struct.pack_into("<H", fe, 0, 261)
        struct.pack_into("<Q", fe, 56, size)
        struct.pack_into("<II", fe, 168, 0, 8)
        struct.pack_into("<II", fe, 176, size, extent_block)
        self.block(number, fe)

    def identifier(self, number, icb, name=b"", directory=False):
        """A directory's data: one File Identifier Descriptor at block `number`."""
        fid = bytearray(38 + 1 + len(name))
        struct.pack_into("<H", fid, 0, 257)
        fid[18] = 2 if directory else 0
        fid[19] = 1 + len(name) if name else 0
        struct.pack_into("<II", fid, 20, SECTOR, icb)
        if name:
            fid[38] = 8
            fid[39:] = name
        self.block(number, fid)
        return len(fid)

    def data(self):
        return self.head + self.body + record(32, bytes(self.partition))

    def maps(self, maps, fileset_reference=0):
        """Partition maps in the Logical Volume Descriptor; the File Set
        Descriptor addressed through map `fileset_reference`."""
        logical = bytearray(440)
        struct.pack_into("<H", logical, 0, 6)
        struct.pack_into("<I", logical, 12, 33)
        struct.pack_into("<IIH", logical, 248, SECTOR, 0, fileset_reference)
        table = b"".join(maps)
        struct.pack_into("<II", logical, 264, len(table), len(maps))
        self.body += record(33, bytes(logical) + table)

    def movie_file(self, directory_block, entry_block, extent_block, extended=False):
        """The root directory (its File Entry at block 1) holding VR_MOVIE.VRO."""
        self.entry(1, self.identifier(directory_block, entry_block, b"VR_MOVIE.VRO"), directory_block)
        if extended:  # an Extended File Entry: its lengths and descriptors 40 bytes further on
            fe = bytearray(224)
            struct.pack_into("<H", fe, 0, 266)
            struct.pack_into("<Q", fe, 56, 100 * SECTOR)
            struct.pack_into("<II", fe, 208, 0, 8)
            struct.pack_into("<II", fe, 216, 100 * SECTOR, extent_block)
            self.block(entry_block, fe)
        else:
            self.entry(entry_block, 100 * SECTOR, extent_block)


def type2_map(identifier, extra=b""):
    entry = bytearray(64)
    entry[0:2] = bytes([2, 64])
    entry[5:5 + len(identifier)] = identifier
    entry[40:40 + len(extra)] = extra
    return bytes(entry)


def space_table(extents):
    """An Unallocated Space Entry naming (block, blocks) extents in short_ads."""
    table = bytearray(40)
    struct.pack_into("<H", table, 0, 263)
    struct.pack_into("<I", table, 36, 8 * len(extents))
    for block, count in extents:
        table += struct.pack("<II", count * SECTOR, block)
    return bytes(table)


def crafted_seeds():
    """Discs of the structures no third-party image here holds: a virtual
    partition through its VAT, a sparable one with a spared packet, the space
    tables, an Extended File Entry."""
    out = {}
    sectors, start = 12000, 1000
    # Free space named by an Unallocated Space Table at block 50 and a Freed
    # Space Table at block 51, the movie file's entry an Extended File Entry.
    disc = Crafted(sectors, start)
    struct.pack_into("<II", disc.partition, 56, SECTOR, 50)
    struct.pack_into("<II", disc.partition, 56 + 24, SECTOR, 51)
    disc.block(50, space_table([(60, 40), (300, 200), (9300, 20)]))
    disc.block(51, space_table([(120, 5)]))
    disc.movie_file(2, 3, 9112, extended=True)
    out["crafted-space-tables"] = disc.data()

    # A virtual partition: the VAT's File Entry at the last recorded sector,
    # its data (a UDF 2.00 header, then block n at physical block n) at block 40.
    last = start + 41
    disc = Crafted(sectors, start, LRA_V | LRA_GIVEN, lra=last)
    disc.maps([bytes([1, 6, 1, 0, 0, 0]), type2_map(b"*UDF Virtual Partition")], 1)
    disc.bitmap(20, SECTOR, 8)
    disc.movie_file(2, 3, 30)
    vat = struct.pack("<H", 152) + bytes(150) + b"".join(struct.pack("<I", n) for n in range(48))
    disc.block(40, vat)
    fe = bytearray(184)
    struct.pack_into("<H", fe, 0, 261)
    fe[16 + 11] = 248
    struct.pack_into("<Q", fe, 56, len(vat))
    struct.pack_into("<II", fe, 168, 0, 8)
    struct.pack_into("<II", fe, 176, len(vat), 40)
    disc.block(41, fe)
    out["crafted-virtual"] = disc.data()

    # A sparable partition of 32-block packets whose packet 0 was spared to
    # sector 11000, the Sparing Table at sector 900.
    disc = Crafted(sectors, start)
    disc.maps([type2_map(b"*UDF Sparable Partition", struct.pack("<HBxII", 32, 1, SECTOR, 900))])
    sparing = bytearray(64)
    sparing[17:17 + 18] = b"*UDF Sparing Table"
    struct.pack_into("<H", sparing, 48, 1)
    struct.pack_into("<II", sparing, 56, 0, 11000)
    disc.body += record(900, bytes(sparing))
    disc.spare = (32, 11000)  # packet 0 again, where the table puts it
    disc.block(0, disc.fileset)
    disc.bitmap(10, SECTOR, 8)
    disc.movie_file(2, 3, 9112)
    out["crafted-sparable"] = disc.data()
    return out


def regressions():
    """The hand-made regression inputs of the recovery harness."""
    out = {}
    # 65 nested directories whose data each is one extent of some 62 MiB
    # (the whole partition, shifted by a block per level): every level holds
    # its directory's data while the walk goes deeper.
    levels, sectors, start = 64, 32768, 1000
    size = (sectors - start - 200 - levels) * SECTOR
    disc = Crafted(sectors, start)
    for k in range(levels + 1):
        disc.entry(1 + k, size, 100 + k)
        disc.identifier(100 + k, 2 + k, directory=True)
    out["deep-directories"] = disc.data()

    # A root directory of 400 entries that all name the same directory, whose
    # data is one extent of some 62 MiB: each entry walks it again.
    entries, sectors, start = 400, 32768, 1000
    disc = Crafted(sectors, start)
    root = b""
    for _ in range(entries):
        fid = bytearray(40)
        struct.pack_into("<H", fid, 0, 257)
        fid[18] = 2
        struct.pack_into("<II", fid, 20, SECTOR, 2)
        root += bytes(fid)
    disc.entry(1, len(root), 10)
    disc.block(10, root)
    disc.entry(2, (sectors - start - 300) * SECTOR, 200)
    out["sibling-directories"] = disc.data()

    # A partition that starts after the last recorded sector: the recorded
    # area ends before the map's first block.
    sectors, start = 12000, 1000
    disc = Crafted(sectors, start, LRA_V | LRA_GIVEN, lra=100)
    disc.bitmap(50, SECTOR, 100)
    disc.entry(1, 60, 2)
    disc.identifier(2, 3, b"VR_MOVIE.VRO")
    disc.block(3, struct.pack("<H", 261).ljust(16, b"\0"))  # a whole tag: its location set
    out["partition-after-recorded-area"] = disc.data()
    return out


def builder_images(mkvrdisc, work):
    for name, recipe in sorted(RECIPES.items()):
        path = os.path.join(work, name + ".recipe")
        with open(path, "w") as f:
            f.write(recipe)
        image = os.path.join(work, name + ".img")
        subprocess.run([mkvrdisc, path, image], check=True, stdout=subprocess.DEVNULL)
        with open(image, "rb") as f, open(image + ".record") as r:
            yield "mkvrdisc-" + name, f.read(), r.read()
        os.remove(image)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mkvrdisc", help="the DVD-VR image builder (build target mkvrdisc)")
    parser.add_argument("--out", default=os.path.join(HERE, "corpus"), help="corpus root (default: fuzz/corpus)")
    parser.add_argument("--regressions", action="store_true", help="write the hand-made regression inputs")
    args = parser.parse_args()

    if args.regressions:
        folder = os.path.join(HERE, "regressions", "recovery")
        os.makedirs(folder, exist_ok=True)
        for name, data in regressions().items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            print("%s: %d bytes" % (os.path.join("regressions", "recovery", name), len(data)))
        return 0

    images = []
    for file in sorted(os.listdir(IMAGES)):
        if file.endswith(".img.xz"):
            name = file[:-len(".img.xz")]
            with lzma.open(os.path.join(IMAGES, file)) as f, open(os.path.join(IMAGES, name + ".facts")) as g:
                images.append((name, f.read(), g.read()))
    with tempfile.TemporaryDirectory() as work:
        if args.mkvrdisc:
            images += list(builder_images(os.path.abspath(args.mkvrdisc), work))
        totals = {}
        for name, data in crafted_seeds().items():
            for harness in ("recovery", "sectorscope"):
                folder = os.path.join(args.out, harness)
                os.makedirs(folder, exist_ok=True)
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
        for name, image, facts in images:
            for harness, inputs in seeds(name, image, facts).items():
                folder = os.path.join(args.out, harness)
                os.makedirs(folder, exist_ok=True)
                for seed, data in inputs.items():
                    with open(os.path.join(folder, seed), "wb") as f:
                        f.write(data)
                    totals[harness] = totals.get(harness, 0) + len(data)
    for harness, total in sorted(totals.items()):
        print("%s: %d bytes" % (harness, total))
    return 0


if __name__ == "__main__":
    sys.exit(main())
