#!/usr/bin/env python3
"""Walks the images' on-disc structures byte by byte (anchor, volume descriptors, partition,
space bitmap, file set, File Entries, continuation extents, identifiers) and checks every
descriptor tag and every record line against what lies in the image:

- the record's free runs are the set bits of the bitmap bytes read straight from the image,
  and they are exactly the blocks that no structure or recorded extent uses;
- the extent and aed lines are the allocation descriptors in list order, continuations
  flattened; a directory's data file holds the bytes its extents hold;
- erased runs lie in free blocks (or beyond the bitmap) and hold the data put there;
- the hostile options write exactly the odd values asked for.
"""

import os
import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import SECTOR, Checks, build, expected_file, pack, read_image, stream, tag_problem, tool, workdir

FORMS = {0: "short", 1: "long", 2: "ext", 3: "embedded"}
AD_SIZE = {0: 8, 1: 16, 2: 20}


class Walk:
    def __init__(self, image, record, checks, name):
        self.image, self.record, self.checks, self.name = image, record, checks, name
        self.f = open(image, "rb")
        self.start = record["partition"][0]
        self.version = None
        self.used = set()  # partition blocks that structures and allocated extents use
        self.entries = {}  # path -> (kind, fe block, length, form, extents, aeds, data)
        self.order = {}    # directory path -> names of its identifiers after the parent's
        self.deleted = []

    def sector(self, n, count=1):
        self.f.seek(n * SECTOR)
        return self.f.read(count * SECTOR)

    def block(self, n, count=1):
        return self.sector(self.start + n, count)

    def tag(self, buf, ident, location, what):
        problem = tag_problem(buf, ident, location, self.version)
        self.checks.check(problem is None, "%s: %s: %s" % (self.name, what, problem))

    def run(self):
        c, r, name = self.checks, self.record, self.name
        vds_main, vds_reserve, vds_length = r["vds"]
        for a in r["anchor"]:
            s = self.sector(a)
            self.version = struct.unpack_from("<H", s, 2)[0]
            self.tag(s, 2, a, "anchor at %d" % a)
            c.equal(struct.unpack_from("<IIII", s, 16), (vds_length, vds_main, vds_length, vds_reserve),
                    name + ": anchor extents")
        pds, lvd, order = [], None, []
        for first in (vds_main, vds_reserve):
            for i in range(32):
                s = self.sector(first + i)
                tid = struct.unpack_from("<H", s, 0)[0]
                self.tag(s, tid, first + i, "volume descriptor at %d" % (first + i))
                order.append(tid)
                if tid == 5 and first == vds_main:
                    pds.append(s)
                if tid == 6 and first == vds_main:
                    lvd = s
                if tid == 8:
                    break
        self.order_vds = order
        pd = [p for p in pds if struct.unpack_from("<H", p, 22)[0] == 0][0]
        self.pds = pds
        self.pd = pd
        c.equal(struct.unpack_from("<II", pd, 188), r["partition"], name + ": partition start and length")
        c.equal(struct.unpack_from("<I", lvd, 212)[0], 2048, name + ": logical block size")
        c.equal(struct.unpack_from("<I", lvd, 252)[0], r["fsd"], name + ": LVD byte 252 = fsd")
        c.equal(lvd[440:446], bytes([1, 6, 1, 0, 0, 0]), name + ": partition map")
        lvid_length, lvid_at = struct.unpack_from("<II", lvd, 432)
        c.equal(lvid_at, r["lvid"][0], name + ": integrity extent")
        lvid = self.sector(lvid_at)
        self.tag(lvid, 9, lvid_at, "integrity descriptor")
        self.lvid = lvid
        ext_len, ext_pos = struct.unpack_from("<II", pd, 64)
        self.bits_free = set()
        if r["bitmap"] is None:
            c.equal(pd[56:184], bytes(128), name + ": no partition header")
        else:
            block, nbytes = r["bitmap"]
            c.equal(ext_pos, block, name + ": bitmap position in the partition header")
            sbd = self.block(block)
            self.tag(sbd, 264, block, "space bitmap descriptor")
            nbits, field = struct.unpack_from("<II", sbd, 16)
            c.equal(field, nbytes, name + ": Number of Bytes")
            real = (nbits + 7) // 8
            self.sbd_ext_len = ext_len
            self.nbits = nbits
            raw = read_image(self.image, self.start + block, offset=24, length=real)
            for b in range(nbits):
                if raw[b // 8] >> (b % 8) & 1:
                    self.bits_free.add(b)
            self.used.update(range(block, block + (24 + real + SECTOR - 1) // SECTOR))
            runs = []
            for b in sorted(self.bits_free):
                if runs and runs[-1][0] + runs[-1][1] == b:
                    runs[-1] = (runs[-1][0], runs[-1][1] + 1)
                else:
                    runs.append((b, 1))
            c.equal(runs, r["free"], name + ": free runs = set bits of the bitmap")
            c.equal(struct.unpack_from("<II", lvid, 80), (len(self.bits_free), r["partition"][1]),
                    name + ": integrity free space and size")
        fsd = self.block(r["fsd"])
        self.tag(fsd, 256, r["fsd"], "file set descriptor")
        self.used.add(r["fsd"])
        root_fe = struct.unpack_from("<I", fsd, 404)[0]
        self.entry("/", root_fe, root_fe)

    def ads(self, fe_block, area, ad_type, path, aeds):
        out, pos = [], 0
        size = AD_SIZE[ad_type]
        while pos + size <= len(area):
            length_field = struct.unpack_from("<I", area, pos)[0]
            kind, length = length_field >> 30, length_field & 0x3FFFFFFF
            block = struct.unpack_from("<I", area, pos + (12 if ad_type == 2 else 4))[0]
            pos += size
            if kind == 3:
                aed = self.block(block)
                self.tag(aed, 258, block, "allocation extent of " + path)
                aeds.append((block, length))
                self.used.add(block)
                lad = struct.unpack_from("<I", aed, 20)[0]
                out += self.ads(fe_block, aed[24 : 24 + lad], ad_type, path, aeds)
                break
            out.append((kind, block, length))
            if kind in (0, 1):
                self.used.update(range(block, block + (length + SECTOR - 1) // SECTOR))
        return out

    def entry(self, path, fe_block, parent_fe):
        c, name = self.checks, self.name
        fe = self.block(fe_block)
        self.tag(fe, 261, fe_block, "File Entry of " + path)
        self.used.add(fe_block)
        c.equal(struct.unpack_from("<H", fe, 20)[0], 4, name + ": strategy of " + path)
        file_type = fe[27]
        ad_type = struct.unpack_from("<H", fe, 34)[0] & 7
        length = struct.unpack_from("<Q", fe, 56)[0]
        lea, lad = struct.unpack_from("<II", fe, 168)
        area = fe[176 + lea : 176 + lea + lad]
        if lea:
            # The header only: both attribute areas start at the end of the space (none).
            self.tag(fe[176:], 262, fe_block, "extended attribute header of " + path)
            c.equal(struct.unpack_from("<II", fe, 176 + 16), (lea, lea), name + ": attribute locations of " + path)
        aeds, extents = [], []
        if ad_type == 3:
            data = area
        else:
            extents = self.ads(fe_block, area, ad_type, path, aeds)
            data = b""
            for kind, block, ext_len in extents:
                data += self.block(block, (ext_len + SECTOR - 1) // SECTOR)[:ext_len] if kind == 0 else bytes(ext_len)
            data = data[:length]
        self.entries[path] = (file_type, fe_block, length, FORMS[ad_type], extents, aeds, data)
        if file_type != 4:
            return
        # Identifiers: the parent first, then the entries in recipe order.
        pos, names = 0, []
        while pos < len(data):
            fid = data[pos:]
            where = fe_block if ad_type == 3 else self.block_of(extents, pos)
            self.tag(fid, 257, where, "identifier at byte %d of %s" % (pos, path))
            chars, lfi = fid[18], fid[19]
            icb_len, icb = struct.unpack_from("<II", fid, 20)
            liu = struct.unpack_from("<H", fid, 36)[0]
            ident = fid[38 + liu : 38 + liu + lfi]
            size = (38 + liu + lfi + 3) // 4 * 4
            if pos == 0:
                c.equal((chars, lfi, icb), (10, 0, parent_fe), name + ": parent identifier of " + path)
            else:
                c.equal(ident[:1], b"\x08", name + ": compression id in " + path)
                child = (path if path != "/" else "") + "/" + ident[1:].decode()
                names.append((ident[1:].decode(), chars))
                if chars & 4:
                    self.deleted.append((child, icb))
                else:
                    self.entry(child, icb, fe_block)
            pos += size
        self.order[path] = names

    @staticmethod
    def block_of(extents, offset):
        for kind, block, length in extents:
            if offset < length:
                return block + offset // SECTOR
            offset -= length
        return None


def check_record(walk, record, work, checks, name):
    """Every dir, file, extent and aed line against the walk."""
    for path, (fe, length, form, datafile) in record["dir"].items():
        got = walk.entries.get(path)
        if not checks.check(got is not None and got[0] == 4, name + ": directory " + path + " on the disc"):
            continue
        checks.equal((got[1], got[2], got[3]), (fe, length, form), name + ": dir line of " + path)
        with open(os.path.join(work, datafile), "rb") as f:
            checks.equal(got[6], f.read(), name + ": data file of " + path)
    for path, (fe, length, form) in record["file"].items():
        got = walk.entries.get(path)
        if checks.check(got is not None and got[0] == 5, name + ": file " + path + " on the disc"):
            checks.equal((got[1], got[2], got[3]), (fe, length, form), name + ": file line of " + path)
    checks.equal(sorted(walk.entries), sorted(list(record["dir"]) + list(record["file"])), name + ": entries")
    for path, entry in walk.entries.items():
        checks.equal(entry[4], record["extent"].get(path, []), name + ": extent lines of " + path)
        checks.equal(entry[5], record["aed"].get(path, []), name + ": aed lines of " + path)


def check_allocation(walk, record, checks, name, marked=()):
    """The bitmap marks free exactly the blocks that nothing uses (within its reach)."""
    if record["bitmap"] is None:
        return
    want = {b for b in range(walk.nbits) if b not in walk.used}
    for block, count, free in marked:
        for b in range(block, block + count):
            (want.add if free else want.discard)(b)
    checks.equal(sorted(walk.bits_free ^ want)[:10], [], name + ": blocks whose bitmap bit is wrong")


def check_erased(walk, record, checks, name, contents):
    """contents: [(first block, count, bytes or None for packs)] in record order."""
    checks.equal([(b, n) for b, n, _ in contents], record["erased"], name + ": erased runs")
    for first, count, data in contents:
        got = read_image(walk.image, walk.start + first, count)
        want = data + bytes(count * SECTOR - len(data)) if data is not None else \
            b"".join(pack(walk.start + first + i) for i in range(count))
        checks.equal(got, want, name + ": erased data at block %d" % first)
        for b in range(first, first + count):
            if b < getattr(walk, "nbits", 0):
                if not checks.check(b in walk.bits_free, name + ": erased block %d is free" % b):
                    break


def main():
    checks = Checks()
    work = workdir("structure")
    b = stream("rec-b")
    with open(os.path.join(work, "rec-b.vob"), "wb") as f:
        f.write(b)

    # The default disc: one fact at a time against its documented layout.
    image, record = build(work, "default", "sectors 12000\n")
    w = Walk(image, record, checks, "default")
    w.run()
    check_record(w, record, work, checks, "default")
    check_allocation(w, record, checks, "default")
    checks.equal(w.order, {"/": [("DVD_RTAV", 2)], "/DVD_RTAV": [("VR_MANGR.IFO", 0), ("VR_MOVIE.VRO", 0)]},
                 "default: identifiers")
    checks.equal([read_image(image, 16 + i)[:7] for i in range(3)], [b"\x00BEA01\x01", b"\x00NSR02\x01",
                                                                      b"\x00TEA01\x01"], "default: recognition")
    checks.equal(record["partition"], (272, 12000 - 1 - 272), "default: partition up to the last anchor")
    checks.equal(record["anchor"], [256, 11999], "default: anchors")
    checks.equal(record["vds"], [32, 48, 32768], "default: volume descriptor sequences")
    checks.equal(w.order_vds[:6], [1, 4, 5, 6, 7, 8], "default: sequence order")
    checks.equal(record["extent"]["/DVD_RTAV/VR_MANGR.IFO"], [(0, 8752 - 272, 1360 * SECTOR)], "default: IFO place")
    checks.equal(record["extent"]["/DVD_RTAV/VR_MOVIE.VRO"], [(0, 10112 - 272, (11999 - 10112) * SECTOR)],
                 "default: VRO place")
    checks.equal(w.entries["/DVD_RTAV/VR_MANGR.IFO"][6][:12], b"DVD_RTR_VMG0", "default: IFO starts")
    movie = read_image(image, 10112, 11999 - 10112)
    checks.equal([movie[i * SECTOR : i * SECTOR + 5] for i in range(0, 11999 - 10112, 97)],
                 [b"\x00\x00\x01\xba\x44"] * len(range(0, 11999 - 10112, 97)), "default: pack headers")
    checks.check(all(struct.unpack_from("<I", movie, i * SECTOR + 16)[0] == 10112 + i ==
                     struct.unpack_from("<I", movie, i * SECTOR + 2044)[0] for i in range(11999 - 10112)),
                 "default: every pack carries its sector number")
    checks.equal(read_image(image, 11999, offset=0, length=2), b"\x02\x00", "default: last anchor")

    # Every form, continuation chains, unrecorded extents, deleted entries, NSR03.
    recipe = """sectors 14000
nsr 3
dir / form=long
dir /DVD_RTAV form=ext liu=32
deleted /DVD_RTAV/VR_MANGR.IFO fe=+4000
deleted /DVD_RTAV/VR_MOVIE.VRO
file /DVD_RTAV/VR_MOVIE.VRO form=long content=file:rec-b.vob
extent 0 10112 40s
continue +3000
extent 1 10152 10s
extent 2 - 5s
continue auto
extent 0 10300 %d
file /DVD_RTAV/VR_MANGR.IFO form=ext ea=48 liu=7
dir /EMB form=embedded
file /EMB/SMALL.TXT form=embedded size=300 content=ifo
dir /EMB/INNER form=short
continue +3001
continue +3002 length=100
extent 0 auto 40
file /ROOT.BIN size=5000
""" % (len(b) - 40 * SECTOR)
    image, record = build(work, "forms", recipe)
    w = Walk(image, record, checks, "forms")
    w.run()
    check_record(w, record, work, checks, "forms")
    check_allocation(w, record, checks, "forms")
    checks.equal(w.version, 3, "forms: descriptor version for NSR03")
    checks.equal(read_image(image, 17)[:7], b"\x00NSR03\x01", "forms: NSR03")
    checks.equal(w.order["/DVD_RTAV"], [("VR_MANGR.IFO", 4), ("VR_MOVIE.VRO", 4), ("VR_MOVIE.VRO", 0),
                                        ("VR_MANGR.IFO", 0)], "forms: deleted identifiers first")
    checks.equal(w.deleted, [("/DVD_RTAV/VR_MANGR.IFO", 4000), ("/DVD_RTAV/VR_MOVIE.VRO", 0)], "forms: deleted ICBs")
    checks.equal([l[1:] for l in record["lines"] if l[0] == "deleted"],
                 [["/DVD_RTAV/VR_MANGR.IFO", "4000"], ["/DVD_RTAV/VR_MOVIE.VRO", "0"]], "forms: deleted lines")
    checks.equal(record["aed"]["/EMB/INNER"][1][1], 100, "forms: continuation length")
    fid = w.entries["/DVD_RTAV"][6]
    checks.equal(struct.unpack_from("<H", fid, 36)[0], 0, "forms: parent identifier has no implementation use")
    checks.equal(struct.unpack_from("<H", fid, 40 + 36)[0], 0, "forms: deleted IFO L_IU")
    fe = read_image(image, 272 + record["file"]["/DVD_RTAV/VR_MANGR.IFO"][0])
    checks.equal(struct.unpack_from("<II", fe, 168), (48, 20), "forms: L_EA and L_AD of the IFO")
    vro = w.entries["/DVD_RTAV/VR_MOVIE.VRO"][6]
    # Byte o of the file is byte o of the content file; unrecorded extents read as zeros.
    checks.equal(vro, expected_file(("bytes", b), [(0, 10112, 40 * SECTOR), (1, 10152, 10 * SECTOR),
                                                   (2, 0, 5 * SECTOR), (0, 10300, len(b) - 40 * SECTOR)]),
                 "forms: movie file bytes")

    # A hole between two extents of the movie file holds an erased recording; more erased data
    # lies beyond the bitmap's reach; marks override single bits.
    recipe = """sectors 16000
bitmap-bits 12000
mark-used +200 3
mark-free +9000 2
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 100s
extent 0 10342 50s
erased 10212 content=file:rec-b.vob
erased +12500 20s
"""
    image, record = build(work, "erased", recipe)
    w = Walk(image, record, checks, "erased")
    w.run()
    check_record(w, record, work, checks, "erased")
    check_allocation(w, record, checks, "erased", [(200, 3, False), (9000, 2, True)])
    check_erased(w, record, checks, "erased", [(10212 - 272, 130, b), (12500, 20, None)])
    checks.equal(struct.unpack_from("<I", w.block(0), 16)[0], 12000, "erased: Number of Bits")

    # Hostile values, the order of the sequence, a second partition descriptor, no anchor at 256.
    recipe = """sectors 12000
iso9660 4
anchors last
vds-length 1024
vds-order lvd-pd
extra-pd 3 5000 77 after
bitmap +20
bitmap-nbytes 5
bitmap-extent 100000
fsd +10
"""
    image, record = build(work, "hostile", recipe)
    w = Walk(image, record, checks, "hostile")
    w.run()
    check_allocation(w, record, checks, "hostile")
    checks.equal([read_image(image, 16 + i)[:7] for i in range(7)],
                 [b"\x01CD001\x01"] * 3 + [b"\xffCD001\x01", b"\x00BEA01\x01", b"\x00NSR02\x01", b"\x00TEA01\x01"],
                 "hostile: recognition with ISO 9660 descriptors")
    checks.equal(read_image(image, 256), bytes(SECTOR), "hostile: nothing at 256")
    checks.equal(record["bitmap"], (20, 5), "hostile: bitmap line")
    checks.equal(w.sbd_ext_len, 100000, "hostile: bitmap extent length")
    checks.equal(record["fsd"], 10, "hostile: fsd")
    checks.equal(w.order_vds[:7], [1, 4, 6, 5, 5, 7, 8], "hostile: sequence order")
    checks.equal([(struct.unpack_from("<H", p, 22)[0],) + struct.unpack_from("<II", p, 188) for p in w.pds],
                 [(0, 272, 11727), (3, 5000, 77)], "hostile: partition descriptors")

    # No bitmap at all.
    image, record = build(work, "nobitmap", "sectors 12000\nbitmap none\n")
    w = Walk(image, record, checks, "nobitmap")
    w.run()
    check_record(w, record, work, checks, "nobitmap")
    checks.equal((record["bitmap"], record["free"]), (None, []), "nobitmap: record")
    # The recipe on standard input builds the same image and record as from a file (content
    # files then count from the current folder).
    os.makedirs(os.path.join(work, "stdin"))
    recipe = "sectors 12000\ndir /DVD_RTAV\nfile /DVD_RTAV/VR_MOVIE.VRO content=file:rec-b.vob\n"
    image, _ = build(work, "piped", recipe)
    piped = subprocess.run([tool(), "-", os.path.join("stdin", "piped.img")], input=recipe, text=True,
                           capture_output=True, cwd=work)
    checks.equal((piped.returncode, piped.stderr), (0, ""), "stdin: status and messages")
    for suffix in ("", ".record", ".dir0", ".dir1"):
        with open(image + suffix, "rb") as f, open(os.path.join(work, "stdin", "piped.img" + suffix), "rb") as g:
            checks.check(f.read() == g.read(), "stdin: piped.img%s differs" % suffix)
    checks.finish()


if __name__ == "__main__":
    main()
