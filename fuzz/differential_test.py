#!/usr/bin/env python3
"""The differential run's own steps on small images: the sealing, the classes it reads
from an input, and the inputs it puts right."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import differential as d  # noqa: E402

PARTITION_START = 257


def tag(identifier, location, body=b""):
    """A descriptor of 512 bytes whose CRC covers `body`; checksum and CRC left wrong."""
    return (struct.pack("<HHBBHHHI", identifier, 2, 0xEE, 0, 0, 0xBEEF, len(body), location) + body).ljust(512, b"\0")


def fid(name):
    """A File Identifier Descriptor of `name` (one byte of compression ID first)."""
    head = struct.pack("<HHBBHHHIHBB", 257, 2, 0, 0, 0, 0, 0, 0, 1, 0, len(name) + 1) + bytes(16) + struct.pack("<H", 0)
    body = (head + b"\x08" + name).ljust((38 + len(name) + 1 + 3) & ~3, b"\0")
    return body[:10] + struct.pack("<H", len(body) - 16) + body[12:]


def image(records, sectors=400):
    data = bytearray(d.HEADER)
    data[2:4] = struct.pack("<H", 0x13)
    data[6:8] = struct.pack("<H", sectors)
    for sector, content in records:
        data += struct.pack("<IH", sector, len(content)) + content
    return d.Image(bytes(data))


def partition_descriptor():
    return tag(5, 32, bytes(172) + struct.pack("<I", PARTITION_START)).ljust(512, b"\0")


def logical_volume(maps):
    body = bytearray(512 - 16)
    body[248 - 16 + 8:248 - 16 + 10] = struct.pack("<H", 0)
    body[264 - 16:272 - 16] = struct.pack("<II", len(maps), 1)
    body[440 - 16:440 - 16 + len(maps)] = maps
    return tag(6, 33)[:16] + bytes(body)


class Sealing(unittest.TestCase):
    def test_crc_is_crc_itu_t(self):
        self.assertEqual(d.crc_itu(b"123456789"), 0x31C3)

    def test_file_identifiers_across_a_sector_end_and_embedded_ones_are_sealed(self):
        chain = b"".join(fid(b"ENTRY%03d" % i) for i in range(60))  # some 3000 bytes: over a sector end
        entry = bytearray(tag(261, 3))
        entry[34] = 3  # data embedded in the File Entry
        entry[168:176] = struct.pack("<II", 0, 2 * len(fid(b"A")))
        entry = bytes(entry[:176]) + fid(b"A") + fid(b"B")
        sealed = d.Image(d.sealed(image([(300, chain), (260, entry)]).encoded(), "recovery"))
        at, fids = 300 * d.SECTOR, 0
        while at < 300 * d.SECTOR + len(chain):
            self.check(sealed, at)
            at += d.fid_length(sealed, at)
            fids += 1
        self.assertEqual(fids, 60)
        for at in (260 * d.SECTOR + 176, 260 * d.SECTOR + 176 + len(fid(b"A")), 260 * d.SECTOR):
            self.check(sealed, at)

    def check(self, sealed, at):
        head = sealed.read(at, 16)
        self.assertEqual(head[4], sum(head[i] for i in range(16) if i != 4) & 0xFF, at)
        self.assertEqual(d.crc_itu(sealed.read(at + 16, d.le16(head, 10))), d.le16(head, 8), at)

    def test_the_fixed_layout_harness_gets_the_larger_image(self):
        self.assertEqual(d.sealed(bytes(d.HEADER), "fixed_layout")[0] & d.LARGE_DISC, d.LARGE_DISC)
        self.assertEqual(d.sealed(bytes(d.HEADER), "recovery")[0] & d.LARGE_DISC, 0)


class Classes(unittest.TestCase):
    def test_tag_locations(self):
        cases = [("volume structure at its sector", 32, 5, 32, None),
                 ("file structure at its block", PARTITION_START + 3, 261, 3, None),
                 ("file structure at its sector", PARTITION_START + 3, 261, PARTITION_START + 3, None),
                 ("elsewhere", PARTITION_START + 3, 261, 7, "tag location"),
                 ("file identifier, no location checked", PARTITION_START + 3, 257, 7, None)]
        for name, sector, identifier, location, why in cases:
            with self.subTest(name):
                sealed = d.Image(d.sealed(image([(34, partition_descriptor()),
                                                 (sector, tag(identifier, location))]).encoded(), "recovery"))
                self.assertEqual(d.tag_refused(sealed, sector), why)
                d.with_locations_put_right(sealed)
                self.assertIsNone(d.tag_refused(sealed, sector))

    def test_partition_maps(self):
        sparable = bytes([2, 64]) + bytes(62)
        cases = [("one type 1 map", bytes([1, 6, 1, 0, 0, 0]), True),
                 ("a type 2 map", sparable, False),
                 ("a map of length 0", bytes([1, 0, 1, 0, 0, 0]), False)]
        for name, maps, plain in cases:
            with self.subTest(name):
                disc = image([(34, partition_descriptor()), (33, logical_volume(maps))])
                self.assertEqual(d.partition_map_is_plain(disc), plain)
                d.with_plain_map(disc)
                self.assertTrue(d.partition_map_is_plain(disc))

    def test_a_file_identifiers_partition_reference(self):
        def referring(reference, parent=False):
            entry = bytearray(fid(b"VR_MOVIE.VRO"))
            entry[18] = 8 if parent else 0
            entry[28:30] = struct.pack("<H", reference)
            return bytes(entry)
        cases = [("the File Set's partition", referring(0), False), ("no map", referring(1), True),
                 ("no map, but the parent's", referring(1, parent=True), False)]
        for name, entry, foreign in cases:
            with self.subTest(name):
                disc = image([(33, logical_volume(bytes([1, 6, 1, 0, 0, 0]))), (300, entry)])
                self.assertEqual(d.foreign_reference(disc, 300), foreign)
                d.with_references_put_right(disc, [300])
                self.assertFalse(d.foreign_reference(disc, 300))

    def test_read_capacity_and_the_reads_it_saves(self):
        read = "cdb 28 00 00 00 00 {:02X} 00 00 {:02X} 00 00 00 dir=1 len={}".format
        capacity = "cdb 25 00 00 00 00 00 00 00 00 00 dir=1 len=8"
        old = ["--- ended=0 status=0", read(0x70, 16, 32768), read(0x80, 16, 32768), read(0x80, 1, 2048),
               "file a 1 2", "file r.map 9 7", "=== output", "done"]
        cases = [("the reads past the end left out", old[:2] + [capacity] + old[4:], True),
                 ("a read cut short", old[:2] + [capacity, read(0x80, 1, 2048)] + old[4:], True),
                 ("no READ CAPACITY", old[:2] + old[4:], False),
                 ("another file", old[:2] + [capacity, "file a 1 3"] + old[5:], False),
                 ("the mapfile's position elsewhere", old[:2] + [capacity, "file a 1 2", "file r.map 9 8"] + old[6:],
                  True),
                 ("a mapfile of another size", old[:2] + [capacity, "file a 1 2", "file r.map 10 7"] + old[6:],
                  False),
                 ("a read the old build did not send", old[:2] + [capacity, read(0x90, 1, 2048)] + old[4:], False)]
        for name, new, shortcut in cases:
            with self.subTest(name):
                self.assertEqual(d.is_capacity_shortcut(old, new), shortcut)

    def test_map_lookup_is_one_more_search_of_the_main_sequence(self):
        anchor = tag(2, 256, struct.pack("<II", 16 * d.SECTOR, 32))
        disc = image([(256, anchor)])
        read = "cdb 28 00 00 00 00 {:02X} 00 00 01 00 00 00 dir=1 len=2048".format
        old = ["--- ended=0 status=0", read(32), read(33), "cdb 51", "=== output"]
        cases = [("the search again", old[:3] + [read(32), read(33)] + old[3:], True),
                 ("another sector", old[:3] + [read(40)] + old[3:], False),
                 ("the rest changed too", old[:3] + [read(32)] + old[3:4] + ["other"], False)]
        for name, new, lookup in cases:
            with self.subTest(name):
                self.assertEqual(d.is_map_lookup(old, new, disc), lookup)


if __name__ == "__main__":
    unittest.main()
