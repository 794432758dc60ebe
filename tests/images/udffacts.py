#!/usr/bin/env python3
"""Minimal UDF reader for the test disc images in this folder.

It walks a UDF volume the way the on-disc format lays it out (volume
recognition sequence, anchor, main volume descriptor sequence, partition,
file set, directories) and prints what it found as one fact per line, so
that the facts of an image made by another tool are computed without the
project's own C++ reader.  Python standard library only.

Usage:
  udffacts.py facts IMAGE NAME [--bindir DIR]
      Print the facts of IMAGE.  With --bindir, also write each directory's
      data bytes to DIR/NAME.dir-<PATH>.bin (root: ROOT; '/' becomes '_').
  udffacts.py cat IMAGE PATH
      Write the data of the file at PATH (e.g. /DVD_RTAV/VR_MOVIE.VRO) to
      standard output.  PATH may be written as the facts write it (%XX).
  udffacts.py extents IMAGE PATH
      Print the allocation descriptors of PATH as "TYPE BLOCK LENGTH".

IMAGE is a file of 2048-byte sectors, or the same compressed with xz (.xz).
Every descriptor read is checked (tag checksum, CRC, tag location); a bad one
ends the program with status 1 and a message on standard error.
"""

import lzma
import os
import struct
import sys
import urllib.parse

SECTOR = 2048

# Identifiers that may appear in the volume recognition sequence.
VRS_IDENTS = (b"CD001", b"BEA01", b"NSR02", b"NSR03", b"TEA01", b"BOOT2", b"CDW02")

# Tag identifiers.
TAG_PVD, TAG_AVDP, TAG_VDP, TAG_IUVD, TAG_PD, TAG_LVD, TAG_USD, TAG_TD = 1, 2, 3, 4, 5, 6, 7, 8
TAG_FSD, TAG_FID, TAG_AED, TAG_IE, TAG_TE, TAG_FE, TAG_SBD, TAG_EFE = 256, 257, 258, 259, 260, 261, 264, 266

# Limits on chain walks: each keeps a broken image from looping for ever.
MAX_VDS_SECTORS = 256       # a volume descriptor sequence is 16 sectors in practice
MAX_VDP_HOPS = 16           # volume descriptor pointers followed in one sequence
MAX_AED_HOPS = 1024         # allocation extent descriptors chained from one file
MAX_INDIRECT = 16           # indirect entries followed to reach one file entry
MAX_DEPTH = 64              # directory nesting


class UdfError(Exception):
    pass


def u16(b, o):
    return struct.unpack_from("<H", b, o)[0]


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def u64(b, o):
    return struct.unpack_from("<Q", b, o)[0]


def _crc_table():
    table = []
    for i in range(256):
        c = i << 8
        for _ in range(8):
            c = ((c << 1) ^ 0x1021) if c & 0x8000 else (c << 1)
        table.append(c & 0xFFFF)
    return table


CRC_TABLE = _crc_table()


def crc16(data):
    """CRC-16/CCITT as descriptor tags use it: polynomial 0x1021, initial 0."""
    crc = 0
    for byte in data:
        crc = ((crc << 8) & 0xFFFF) ^ CRC_TABLE[((crc >> 8) ^ byte) & 0xFF]
    return crc


def tag_ok(buf, off=0):
    """True when the 16-byte tag at buf[off:] has a correct checksum."""
    if off + 16 > len(buf):
        return False
    tag = buf[off:off + 16]
    if not any(tag):
        return False
    return (sum(tag[0:4]) + sum(tag[5:16])) & 0xFF == tag[4]


def check_tag(buf, what, location, off=0, expect=None):
    """Check the tag at buf[off:] (checksum, CRC, location); return its identifier."""
    if not tag_ok(buf, off):
        raise UdfError("%s: bad descriptor tag checksum" % what)
    ident = u16(buf, off)
    if expect is not None and ident not in expect:
        raise UdfError("%s: tag identifier %d, expected %s" % (what, ident, "/".join(map(str, expect))))
    crc, crc_len = u16(buf, off + 8), u16(buf, off + 10)
    if off + 16 + crc_len > len(buf):
        raise UdfError("%s: CRC length %d runs past the descriptor" % (what, crc_len))
    if crc16(buf[off + 16:off + 16 + crc_len]) != crc:
        raise UdfError("%s: bad descriptor CRC" % what)
    if location is not None and u32(buf, off + 12) != location:
        raise UdfError("%s: tag location %d, read at %d" % (what, u32(buf, off + 12), location))
    return ident


def dstring(field):
    """Decode a d-string or a file identifier (compression id 8 or 16)."""
    if not field:
        return ""
    comp = field[0]
    if comp == 8:
        return field[1:].decode("latin-1")
    if comp == 16:
        return field[1:].decode("utf-16-be")
    raise UdfError("unknown character compression %d" % comp)


class Volume:
    def __init__(self, data):
        if len(data) % SECTOR:
            raise UdfError("image size %d is not a multiple of %d" % (len(data), SECTOR))
        self.data = data
        self.nsect = len(data) // SECTOR
        self.facts = []

    def sector(self, n, count=1):
        if n < 0 or n + count > self.nsect:
            raise UdfError("sector %d (+%d) is beyond the image (%d sectors)" % (n, count, self.nsect))
        return self.data[n * SECTOR:(n + count) * SECTOR]

    # --- volume level -------------------------------------------------------

    def read_vrs(self):
        self.vrs = []
        n = 16
        while n < self.nsect:
            ident = self.sector(n)[1:6]
            if ident not in VRS_IDENTS:
                break
            self.vrs.append((n, ident.decode("ascii")))
            n += 1

    def read_anchors(self):
        self.anchors = []
        for n in sorted({256, 512, self.nsect - 257, self.nsect - 1}):
            if n < 0 or n >= self.nsect:
                continue
            s = self.sector(n)
            if tag_ok(s) and u16(s, 0) == TAG_AVDP and u32(s, 12) == n:
                check_tag(s, "anchor at %d" % n, n)
                self.anchors.append(n)
        if 256 not in self.anchors:
            raise UdfError("no anchor volume descriptor pointer at sector 256")
        avdp = self.sector(256)
        self.mvds_len = u32(avdp, 16)
        self.mvds_loc = u32(avdp, 20)

    def read_vds(self):
        self.pd_sector = self.lvd_sector = None
        loc, length = self.mvds_loc, self.mvds_len
        hops = seen = 0
        while True:
            nsec = length // SECTOR
            stop = False
            for i in range(nsec):
                n = loc + i
                seen += 1
                if seen > MAX_VDS_SECTORS:
                    raise UdfError("volume descriptor sequence longer than %d sectors" % MAX_VDS_SECTORS)
                s = self.sector(n)
                if not tag_ok(s):
                    stop = True
                    break
                ident = check_tag(s, "volume descriptor at %d" % n, n)
                if ident == TAG_TD:
                    stop = True
                    break
                if ident == TAG_VDP:
                    hops += 1
                    if hops > MAX_VDP_HOPS:
                        raise UdfError("more than %d volume descriptor pointers" % MAX_VDP_HOPS)
                    length, loc = u32(s, 20), u32(s, 24)
                    break
                if ident == TAG_PD and self.pd_sector is None:
                    self.pd_sector = n
                if ident == TAG_LVD and self.lvd_sector is None:
                    self.lvd_sector = n
            else:
                stop = True
            if stop:
                break
        if self.pd_sector is None or self.lvd_sector is None:
            raise UdfError("main volume descriptor sequence lacks a partition or logical volume descriptor")

    def read_partition(self):
        pd = self.sector(self.pd_sector)
        self.part_number = u16(pd, 22)
        contents = pd[25:48].rstrip(b"\0")
        if contents not in (b"+NSR02", b"+NSR03"):
            raise UdfError("partition contents %r" % contents)
        self.part_start = u32(pd, 188)
        self.part_len = u32(pd, 192)
        if self.part_start + self.part_len > self.nsect:
            raise UdfError("partition %d+%d runs past the image" % (self.part_start, self.part_len))
        # Partition Header Descriptor in the Partition Contents Use (byte 56):
        # unallocated space table at 0, unallocated space bitmap at 8.
        self.bitmap_len = u32(pd, 56 + 8) & 0x3FFFFFFF
        self.bitmap_block = u32(pd, 56 + 12)

    def read_lvd(self):
        lvd = self.sector(self.lvd_sector)
        if u32(lvd, 212) != SECTOR:
            raise UdfError("logical block size %d" % u32(lvd, 212))
        self.fsd_block = u32(lvd, 252)
        self.fsd_ref = u16(lvd, 256)
        map_len, nmaps = u32(lvd, 264), u32(lvd, 268)
        if 440 + map_len > SECTOR:
            raise UdfError("partition map table of %d bytes" % map_len)
        self.maps = []
        off = 440
        for _ in range(nmaps):
            if off + 2 > 440 + map_len:
                raise UdfError("partition map table too short")
            mtype, mlen = lvd[off], lvd[off + 1]
            if mlen < 6 or off + mlen > 440 + map_len:
                raise UdfError("partition map of length %d" % mlen)
            m = lvd[off:off + mlen]
            if mtype == 1:
                self.maps.append({"kind": "physical", "number": u16(m, 4)})
            elif mtype == 2 and m[5:5 + 23] == b"*UDF Sparable Partition":
                entry = {"kind": "sparable", "number": u16(m, 38), "packet": u16(m, 40), "map": {}}
                ntables, tsize = m[42], u32(m, 44)
                # Use the first sparing table that reads correctly.
                for t in range(ntables):
                    where = u32(m, 48 + 4 * t)
                    nsec = max(1, (tsize + SECTOR - 1) // SECTOR)
                    st = self.sector(where, nsec)
                    try:
                        check_tag(st, "sparing table at %d" % where, where, expect=(0,))
                    except UdfError:
                        continue
                    if st[17:17 + 18] != b"*UDF Sparing Table":
                        continue
                    count = u16(st, 48)
                    if 56 + 8 * count > len(st):
                        raise UdfError("sparing table of %d entries in %d bytes" % (count, len(st)))
                    for k in range(count):
                        orig, mapped = u32(st, 56 + 8 * k), u32(st, 60 + 8 * k)
                        if orig < 0xFFFFFFF0:
                            entry["map"][orig] = mapped
                    entry["table"] = where
                    break
                else:
                    raise UdfError("no readable sparing table")
                self.maps.append(entry)
            else:
                raise UdfError("unsupported partition map type %d %r" % (mtype, bytes(m[4:36])))
            off += mlen
        if not self.maps:
            raise UdfError("no partition maps")
        for m in self.maps:
            if m["number"] != self.part_number:
                raise UdfError("partition map names partition %d, the descriptor is %d" % (m["number"], self.part_number))

    def block_sector(self, ref, lbn):
        """Absolute sector of logical block lbn in the partition of map ref."""
        if ref >= len(self.maps):
            raise UdfError("partition reference %d of %d maps" % (ref, len(self.maps)))
        if lbn >= self.part_len:
            raise UdfError("block %d beyond partition length %d" % (lbn, self.part_len))
        m = self.maps[ref]
        if m["kind"] == "sparable":
            packet = lbn - lbn % m["packet"]
            if packet in m["map"]:
                return m["map"][packet] + lbn % m["packet"]
        return self.part_start + lbn

    def block(self, ref, lbn):
        return self.sector(self.block_sector(ref, lbn))

    # --- file level ---------------------------------------------------------

    def read_fsd(self):
        fsd = self.block(self.fsd_ref, self.fsd_block)
        check_tag(fsd, "file set descriptor", self.fsd_block, expect=(TAG_FSD,))
        self.root_block = u32(fsd, 404)
        self.root_ref = u16(fsd, 408)

    def read_bitmap(self):
        self.free = None
        self.sbd_bytes = None
        if self.bitmap_len == 0:
            return
        nsec = (self.bitmap_len + SECTOR - 1) // SECTOR
        first = self.block_sector(0, self.bitmap_block)
        raw = self.sector(first, nsec)
        check_tag(raw, "space bitmap descriptor", self.bitmap_block, expect=(TAG_SBD,))
        nbits, nbytes = u32(raw, 16), u32(raw, 20)
        if 24 + nbytes > len(raw) or nbits > nbytes * 8:
            raise UdfError("space bitmap of %d bits in %d bytes does not fit its extent" % (nbits, nbytes))
        if nbits != self.part_len:
            raise UdfError("space bitmap of %d bits for a partition of %d blocks" % (nbits, self.part_len))
        self.sbd_bytes = nbytes
        bits = raw[24:24 + nbytes]
        self.free = [bool(bits[i >> 3] & (1 << (i & 7))) for i in range(nbits)]

    def read_fe(self, ref, lbn, what):
        """Read the (extended) file entry at lbn, following indirect entries."""
        for _ in range(MAX_INDIRECT + 1):
            b = self.block(ref, lbn)
            ident = u16(b, 0) if tag_ok(b) else None
            if ident == TAG_IE:
                check_tag(b, what, lbn)
                lbn, ref = u32(b, 36 + 4), u16(b, 36 + 8)
                continue
            ident = check_tag(b, what, lbn, expect=(TAG_FE, TAG_EFE))
            if ident == TAG_FE:
                l_ea, l_ad, base = u32(b, 168), u32(b, 172), 176
            else:
                l_ea, l_ad, base = u32(b, 208), u32(b, 212), 216
            if base + l_ea + l_ad > SECTOR:
                raise UdfError("%s: extended attributes %d and descriptors %d overflow the block" % (what, l_ea, l_ad))
            return {
                "block": lbn, "ref": ref, "tag": ident,
                "filetype": b[16 + 11], "adtype": u16(b, 34) & 7,
                "infolen": u64(b, 56),
                "ads": b[base + l_ea:base + l_ea + l_ad],
            }
        raise UdfError("%s: more than %d indirect entries" % (what, MAX_INDIRECT))

    def extents(self, fe, what):
        """The file's allocation descriptors: (type, block, length, ref), list order.

        Continuation descriptors (type 3) are followed and not listed."""
        out = []
        adtype = fe["adtype"]
        if adtype == 3:
            return out
        size = {0: 8, 1: 16, 2: 20}.get(adtype)
        if size is None:
            raise UdfError("%s: allocation descriptor type %d" % (what, adtype))
        ads, ref = fe["ads"], fe["ref"]
        hops = 0
        while True:
            cont = None
            pos = 0
            while pos + size <= len(ads):
                raw_len = u32(ads, pos)
                if raw_len == 0:
                    break
                etype, elen = raw_len >> 30, raw_len & 0x3FFFFFFF
                if adtype == 0:
                    lbn, eref = u32(ads, pos + 4), ref
                elif adtype == 1:
                    lbn, eref = u32(ads, pos + 4), u16(ads, pos + 8)
                else:
                    lbn, eref = u32(ads, pos + 12), u16(ads, pos + 16)
                pos += size
                if etype == 3:
                    cont = (eref, lbn)
                    break
                out.append((etype, lbn, elen, eref))
            if cont is None:
                return out
            hops += 1
            if hops > MAX_AED_HOPS:
                raise UdfError("%s: more than %d allocation extent descriptors" % (what, MAX_AED_HOPS))
            b = self.block(*cont)
            check_tag(b, "%s: allocation extent descriptor" % what, cont[1], expect=(TAG_AED,))
            l_ad = u32(b, 20)
            if 24 + l_ad > SECTOR:
                raise UdfError("%s: allocation extent descriptor of %d bytes" % (what, l_ad))
            ads, ref = b[24:24 + l_ad], cont[0]

    def file_data(self, fe, what):
        if fe["adtype"] == 3:
            data = fe["ads"]
        else:
            parts = []
            for etype, lbn, elen, eref in self.extents(fe, what):
                nblk = (elen + SECTOR - 1) // SECTOR
                if etype == 0:
                    chunk = b"".join(self.block(eref, lbn + k) for k in range(nblk))
                    parts.append(chunk[:elen])
                else:
                    parts.append(bytes(elen))
            data = b"".join(parts)
        if len(data) < fe["infolen"]:
            raise UdfError("%s: information length %d, descriptors give %d bytes" % (what, fe["infolen"], len(data)))
        return data[:fe["infolen"]]

    def read_dir(self, data, what):
        """Directory entries: (name, is_dir, ref, block) in on-disc order, minus parent and deleted ones."""
        out = []
        pos = 0
        while pos < len(data):
            if pos + 38 > len(data):
                raise UdfError("%s: truncated file identifier at %d" % (what, pos))
            check_tag(data, "%s: file identifier at %d" % (what, pos), None, off=pos, expect=(TAG_FID,))
            chars, l_fi, l_iu = data[pos + 18], data[pos + 19], u16(data, pos + 36)
            total = (38 + l_iu + l_fi + 3) & ~3
            if pos + 38 + l_iu + l_fi > len(data):
                raise UdfError("%s: file identifier at %d runs past the directory" % (what, pos))
            if chars & 0x0C == 0:      # neither deleted (4) nor parent (8)
                name = dstring(data[pos + 38 + l_iu:pos + 38 + l_iu + l_fi])
                out.append((name, bool(chars & 0x02), u16(data, pos + 28), u32(data, pos + 24)))
            pos += total
        return out

    # --- whole volume -------------------------------------------------------

    def load(self):
        self.read_vrs()
        self.read_anchors()
        self.read_vds()
        self.read_partition()
        self.read_lvd()
        self.read_fsd()
        self.read_bitmap()

    def walk(self):
        """Yield (path, is_dir, fe, data-or-None) for every directory and file, pre-order."""
        seen = set()

        def visit(path, ref, lbn, depth):
            if depth > MAX_DEPTH:
                raise UdfError("%s: directories nested deeper than %d" % (path, MAX_DEPTH))
            if (ref, lbn) in seen:
                raise UdfError("%s: directory entry reached twice" % path)
            seen.add((ref, lbn))
            fe = self.read_fe(ref, lbn, path)
            if fe["filetype"] != 4:
                raise UdfError("%s: file type %d, not a directory" % (path, fe["filetype"]))
            data = self.file_data(fe, path)
            yield path, True, fe, data
            for name, is_dir, cref, clbn in self.read_dir(data, path):
                cpath = path.rstrip("/") + "/" + name
                if is_dir:
                    yield from visit(cpath, cref, clbn, depth + 1)
                else:
                    yield cpath, False, self.read_fe(cref, clbn, cpath), None

        yield from visit("/", self.root_ref, self.root_block, 0)

    def find(self, path):
        for p, is_dir, fe, _ in self.walk():
            if p == path:
                return fe
        raise UdfError("%s: not found" % path)


def runs(flags):
    """(first, count) of each run of true values."""
    out, start = [], None
    for i, f in enumerate(flags + [False]):
        if f and start is None:
            start = i
        elif not f and start is not None:
            out.append((start, i - start))
            start = None
    return out


def fact_path(path):
    """A path as the facts write it: printable ASCII kept, anything else
    (space, '%', control and non-ASCII characters) as %XX of its UTF-8 bytes."""
    out = []
    for ch in path:
        if "!" <= ch <= "~" and ch != "%":
            out.append(ch)
        else:
            out.extend("%%%02X" % b for b in ch.encode("utf-8"))
    return "".join(out)


def dir_file_name(name, path):
    tail = "ROOT" if path == "/" else fact_path(path.strip("/")).replace("/", "_").replace("%", "")
    return "%s.dir-%s.bin" % (name, tail)


def facts(vol, name, bindir):
    out = ["sectors %d" % vol.nsect]
    out += ["vrs %d %s" % v for v in vol.vrs]
    out += ["avdp %d" % a for a in vol.anchors]
    out.append("mvds %d %d" % (vol.mvds_loc, vol.mvds_len))
    out.append("pd_sector %d" % vol.pd_sector)
    out.append("lvd_sector %d" % vol.lvd_sector)
    out.append("partition %d %d" % (vol.part_start, vol.part_len))
    if vol.free is None:
        out.append("bitmap none")
    else:
        out.append("bitmap %d %d %d" % (vol.bitmap_block, vol.bitmap_len, vol.sbd_bytes))
    out.append("fsd %d" % vol.fsd_block)
    root_tag = u16(vol.block(vol.root_ref, vol.root_block), 0)
    out.append("root_fe %d %d" % (vol.root_block, root_tag))
    names = set()
    for path, is_dir, fe, data in vol.walk():
        if is_dir:
            dname = dir_file_name(name, path)
            if dname in names:
                raise UdfError("%s: directory data file name %s used twice" % (path, dname))
            names.add(dname)
            out.append("dir %s %d %d %d %d %s" % (fact_path(path), fe["block"], fe["tag"], fe["infolen"], fe["adtype"], dname))
            if bindir is not None:
                with open(os.path.join(bindir, dname), "wb") as f:
                    f.write(data)
        else:
            out.append("file %s %d %d %d %d" % (fact_path(path), fe["block"], fe["tag"], fe["infolen"], fe["adtype"]))
        for etype, lbn, elen, _ in vol.extents(fe, path):
            out.append("extent %s %d %d %d" % (fact_path(path), etype, lbn, elen))
    if vol.free is not None:
        out += ["free %d %d" % r for r in runs(vol.free)]
        # Free blocks that still begin with an MPEG pack header hold an erased recording.
        pack = b"\x00\x00\x01\xba"
        held = [f and vol.block(0, i)[:4] == pack for i, f in enumerate(vol.free)]
        out += ["erased %d %d" % r for r in runs(held)]
    return out


def read_image(path):
    opener = lzma.open if path.endswith(".xz") else open
    with opener(path, "rb") as f:
        return f.read()


def main(argv):
    if len(argv) < 3 or argv[0] not in ("facts", "cat", "extents"):
        sys.stderr.write(__doc__)
        return 2
    cmd, image = argv[0], argv[1]
    try:
        vol = Volume(read_image(image))
        vol.load()
        if cmd == "facts":
            bindir = None
            rest = argv[3:]
            if rest[:1] == ["--bindir"] and len(rest) == 2:
                bindir = rest[1]
            elif rest:
                sys.stderr.write(__doc__)
                return 2
            sys.stdout.write("".join(line + "\n" for line in facts(vol, argv[2], bindir)))
        elif cmd == "cat":
            path = urllib.parse.unquote(argv[2])
            sys.stdout.buffer.write(vol.file_data(vol.find(path), path))
        else:
            path = urllib.parse.unquote(argv[2])
            for etype, lbn, elen, _ in vol.extents(vol.find(path), path):
                print("%d %d %d" % (etype, lbn, elen))
    except UdfError as e:
        sys.stderr.write("udffacts: %s: %s\n" % (image, e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
