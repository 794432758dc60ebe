#!/usr/bin/python3
"""Turns a disc image of mkvrdisc (a type 1 partition, short allocation
descriptors) into one whose blocks are found through a type 2 partition map:

  sparable  "*UDF Sparable Partition", packets of 32 blocks, one Sparing Table
            at sector TABLE; the packet of the volume's structures (block 0)
            and one packet inside each file's data move to spare packets from
            sector TABLE + 16 on (up to the partition start), and what is left
            in their place is filler that no reader may take for them.
  virtual   a physical map and "*UDF Virtual Partition" (UDF 2.00): the File
            Set Descriptor, the File Entries, the directories' data and every
            file's data move to free blocks at the end of the partition, a
            Virtual Allocation Table (its File Entry the last block of the
            partition, which must be the image's last sector) maps them, and
            the old blocks get filler.
  plain     the image as it is (its free space as the builder laid it, a
            space table for one).

It writes OUT, and into EXPECTED the files of /DVD_RTAV as the builder put
them in (recorded extents from IMAGE, the rest zeros), for readers to be
compared with.

Usage: udf_variant.py sparable|virtual|plain IMAGE OUT EXPECTED [TABLE]
IMAGE.record (mkvrdisc's) must lie beside IMAGE.
"""

import os
import struct
import sys

SECTOR = 2048
PACKET = 32
FILLER = b"\xa5" * SECTOR


def crc_itu(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def seal(buf, at, crc_length=None):
    """The tag at byte `at` of buf: its CRC over crc_length bytes (kept when
    None) and its checksum."""
    if crc_length is not None:
        struct.pack_into("<H", buf, at + 10, crc_length)
    length = struct.unpack_from("<H", buf, at + 10)[0]
    struct.pack_into("<H", buf, at + 8, crc_itu(buf[at + 16:at + 16 + length]))
    buf[at + 4] = sum(buf[at + i] for i in range(16) if i != 4) & 0xFF


def regid(identifier, revision):
    return b"\0" + identifier.encode().ljust(23, b"\0") + struct.pack("<H", revision) + b"\0" * 6


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        self.record = [line.split() for line in open(path + ".record")]
        self.start, self.length = next((int(w[1]), int(w[2])) for w in self.record if w[0] == "partition")
        main, reserve, vds_length = next(map(int, w[1:4]) for w in self.record if w[0] == "vds")
        self.lvds = [s for base in (main, reserve) for s in range(base, base + vds_length // SECTOR)
                     if struct.unpack_from("<H", self.data, s * SECTOR)[0] == 6]
        self.entries = [w for w in self.record if w[0] in ("dir", "file")]
        self.extents = {}
        for w in self.record:
            if w[0] == "extent":
                self.extents.setdefault(w[1], []).append((int(w[2]), int(w[3]), int(w[4])))

    def sector(self, number):
        return self.data[number * SECTOR:(number + 1) * SECTOR]

    def put(self, number, content):
        end = (number + 1) * SECTOR
        if len(self.data) < end:
            self.data.extend(bytes(end - len(self.data)))
        self.data[number * SECTOR:end] = content

    def file_bytes(self, path):
        """The file as the builder put it in."""
        entry = next(w for w in self.entries if w[1] == path)
        out = bytearray()
        for kind, block, length in self.extents.get(path, []):
            if kind == 0:
                at = (self.start + block) * SECTOR
                out += self.data[at:at + length]
            else:
                out += bytes(length)
        return bytes(out[:int(entry[3])])

    def set_maps(self, maps, fsd_reference):
        """Every Logical Volume Descriptor gets these partition maps, and its
        File Set Descriptor address this partition reference."""
        table = b"".join(maps)
        for s in self.lvds:
            lvd = bytearray(self.sector(s))
            struct.pack_into("<H", lvd, 256, fsd_reference)
            struct.pack_into("<II", lvd, 264, len(table), len(maps))
            lvd[440:] = table.ljust(SECTOR - 440, b"\0")
            seal(lvd, 0, 440 + len(table) - 16)
            self.put(s, lvd)

    def partition_number(self):
        lvd = self.sector(self.lvds[0])
        return struct.unpack_from("<H", lvd, 444)[0]


def sparable(image, table_sector):
    number = image.partition_number()
    files = [w[1] for w in image.entries if w[0] == "file"]
    packets = {0}
    for path in files:
        recorded = [(b, n) for kind, b, n in image.extents.get(path, []) if kind == 0 and n >= 2 * PACKET * SECTOR]
        if recorded:
            block, _ = recorded[0]
            packets.add((block + PACKET - 1) // PACKET * PACKET)
    spare = [table_sector + 16 + PACKET * i for i in range(8)]
    if spare[-1] + PACKET > image.start:
        sys.exit("udf_variant.py: the spare area runs into the partition; start it later")
    entries = []
    for packet, location in zip(sorted(packets), spare):
        for i in range(PACKET):
            image.put(location + i, image.sector(image.start + packet + i))
            image.put(image.start + packet + i, FILLER)
        entries.append((packet, location))
    entries += [(0xFFFFFFFF, location) for location in spare[len(entries):]]

    table = bytearray(SECTOR)
    struct.pack_into("<HHBxHHHI", table, 0, 0, 2, 0, 1, 0, 0, table_sector)
    table[16:48] = regid("*UDF Sparing Table", 0x0150)
    struct.pack_into("<HHI", table, 48, len(entries), 0, 0)
    for i, (original, mapped) in enumerate(entries):
        struct.pack_into("<II", table, 56 + 8 * i, original, mapped)
    size = 56 + 8 * len(entries)
    seal(table, 0, size - 16)
    image.put(table_sector, table)

    spm = bytearray(64)
    struct.pack_into("<BBH", spm, 0, 2, 64, 0)
    spm[4:36] = regid("*UDF Sparable Partition", 0x0150)
    struct.pack_into("<HHHBBII", spm, 36, 1, number, PACKET, 1, 0, size, table_sector)
    image.set_maps([bytes(spm)], 0)


def fids(data):
    """Offsets of the File Identifier Descriptors in a directory's data."""
    at = 0
    while at + 38 <= len(data) and struct.unpack_from("<H", data, at)[0] == 257:
        yield at
        length = 38 + struct.unpack_from("<H", data, at + 36)[0] + data[at + 19]
        at += (length + 3) // 4 * 4


def virtual(image):
    number = image.partition_number()
    start = image.start
    fsd = next(int(w[1]) for w in image.record if w[0] == "fsd")
    # Every identifier and the File Set Descriptor's root name the virtual
    # partition (reference 1).
    for w in image.entries:
        if w[0] != "dir":
            continue
        (kind, block, length), = image.extents[w[1]]
        at = (start + block) * SECTOR
        data = image.data[at:at + length]
        for fid in fids(data):
            struct.pack_into("<H", data, fid + 28, 1)
            seal(data, fid)
        image.data[at:at + length] = data
    fsd_sector = bytearray(image.sector(start + fsd))
    struct.pack_into("<H", fsd_sector, 408, 1)
    seal(fsd_sector, 0)
    image.put(start + fsd, fsd_sector)

    # The runs of blocks that move, each to the next free blocks after
    # everything in use.
    runs = [(fsd, 1)] + [(int(w[2]), 1) for w in image.entries]
    for path, extents in image.extents.items():
        runs += [(block, (length + SECTOR - 1) // SECTOR) for kind, block, length in extents if kind == 0]
    used_end = max(block + count for block, count in runs)
    vat = list(range(image.length))
    place = used_end + 16
    for block, count in runs:
        for i in range(count):
            image.put(start + place + i, image.sector(start + block + i))
            image.put(start + block + i, FILLER)
            vat[block + i] = place + i
        place += count

    header = bytearray(152)
    struct.pack_into("<HH", header, 0, 152, 0)
    header[4:132] = image.sector(image.lvds[0])[84:212]
    struct.pack_into("<IIIHHH", header, 132, 0xFFFFFFFF, 0, 0, 0x0200, 0x0200, 0x0200)
    table = bytes(header) + struct.pack("<%dI" % len(vat), *vat)
    vat_sectors = (len(table) + SECTOR - 1) // SECTOR
    entry_block = image.length - 1
    vat_block = entry_block - vat_sectors
    if vat_block < place or len(image.data) != (start + image.length) * SECTOR:
        sys.exit("udf_variant.py: the partition must run to the image's end, with room for the table")
    for i in range(vat_sectors):
        image.put(start + vat_block + i, table[i * SECTOR:(i + 1) * SECTOR].ljust(SECTOR, b"\0"))
    # Its File Entry: a file's (short descriptors) as the template, file type
    # 248, in the physical partition, the image's last sector.
    template = next(w for w in image.entries if w[0] == "file" and w[4] == "short")
    entry = bytearray(image.sector(start + vat[int(template[2])]))
    struct.pack_into("<I", entry, 12, entry_block)
    entry[27] = 248
    struct.pack_into("<QQ", entry, 56, len(table), vat_sectors)
    struct.pack_into("<II", entry, 168, 0, 8)
    entry[176:] = struct.pack("<II", len(table), vat_block).ljust(SECTOR - 176, b"\0")
    seal(entry, 0, 176 + 8 - 16)
    image.put(start + entry_block, entry)

    vpm = bytearray(64)
    struct.pack_into("<BBH", vpm, 0, 2, 64, 0)
    vpm[4:36] = regid("*UDF Virtual Partition", 0x0200)
    struct.pack_into("<HH", vpm, 36, 1, number)
    image.set_maps([struct.pack("<BBHH", 1, 6, 1, number), bytes(vpm)], 1)


def main():
    if len(sys.argv) not in (5, 6) or sys.argv[1] not in ("sparable", "virtual", "plain"):
        sys.exit(__doc__)
    kind, source, out, expected = sys.argv[1:5]
    image = Image(source)
    os.makedirs(expected, exist_ok=True)
    for w in image.entries:
        if w[0] == "file" and w[1].startswith("/DVD_RTAV/"):
            with open(os.path.join(expected, w[1].split("/")[-1]), "wb") as f:
                f.write(image.file_bytes(w[1]))
    if kind == "sparable":
        sparable(image, int(sys.argv[5]) if len(sys.argv) == 6 else 272)
    elif kind == "virtual":
        virtual(image)
    with open(out, "wb") as f:
        f.write(image.data)


if __name__ == "__main__":
    main()
