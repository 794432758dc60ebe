"""Shared helpers of the mkvrdisc validation tests.

The expected file contents are worked out here from the recipe text each test writes and the
documented content formulas, never from the builder's own record, so that a reader's output
and the builder are checked against an independent model.
"""

import ctypes
import ctypes.util
import lzma
import os
import shutil
import struct
import subprocess
import sys

SKIP = 77
SECTOR = 2048
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")


def tool():
    if len(sys.argv) < 2:
        sys.exit("usage: %s MKVRDISC" % sys.argv[0])
    return os.path.abspath(sys.argv[1])


def skip(message):
    print("SKIP: " + message)
    sys.exit(SKIP)


def workdir(name):
    path = os.path.join(os.getcwd(), "work-" + name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


class Checks:
    """Collects failures so that one run reports every broken case."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL: " + what)
        return ok

    def equal(self, got, want, what):
        if got == want:
            self.passed += 1
            return True
        self.failed += 1
        if isinstance(got, (bytes, bytearray)) and isinstance(want, (bytes, bytearray)):
            first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
            print("FAIL: %s: %d bytes, want %d; first difference at byte %d" % (what, len(got), len(want), first))
        else:
            print("FAIL: %s: got %r, want %r" % (what, got, want))
        return False

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        sys.exit(1 if self.failed else 0)


# ---- running the builder -------------------------------------------------------------------


def build(work, name, recipe, expect_ok=True):
    """Writes RECIPE into WORK/NAME.recipe, builds WORK/NAME.img; returns (image, record)."""
    recipe_path = os.path.join(work, name + ".recipe")
    with open(recipe_path, "w") as f:
        f.write(recipe)
    image = os.path.join(work, name + ".img")
    run = subprocess.run([tool(), recipe_path, image], capture_output=True, text=True)
    if expect_ok and (run.returncode != 0 or run.stderr):
        print("mkvrdisc failed on %s (status %d): %s" % (name, run.returncode, run.stderr.strip()))
        sys.exit(1)
    return image, parse_record(image + ".record")


def parse_record(path):
    record = {"lines": [], "dir": {}, "file": {}, "extent": {}, "aed": {}, "free": [], "erased": [], "anchor": []}
    if not os.path.exists(path):
        return record
    with open(path) as f:
        for line in f:
            w = line.split()
            record["lines"].append(w)
            key = w[0]
            if key == "sectors":
                record["sectors"] = int(w[1])
            elif key == "partition":
                record["partition"] = (int(w[1]), int(w[2]))
            elif key == "bitmap":
                record["bitmap"] = None if w[1] == "none" else (int(w[1]), int(w[2]))
            elif key == "fsd":
                record["fsd"] = int(w[1])
            elif key == "anchor":
                record["anchor"].append(int(w[1]))
            elif key == "dir":
                record["dir"][w[1]] = (int(w[2]), int(w[3]), w[4], w[5])
            elif key == "file":
                record["file"][w[1]] = (int(w[2]), int(w[3]), w[4])
            elif key == "extent":
                record["extent"].setdefault(w[1], []).append((int(w[2]), int(w[3]), int(w[4])))
            elif key == "aed":
                record["aed"].setdefault(w[1], []).append((int(w[2]), int(w[3])))
            elif key in ("free", "erased"):
                record[key].append((int(w[1]), int(w[2])))
            elif key in ("vds", "lvid"):
                record[key] = [int(x) for x in w[1:]]
    return record


# ---- the documented content formulas --------------------------------------------------------

PACK_HEADER = bytes([0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8])


def pack(lba):
    """The generated pack of sector LBA."""
    base = 29 * lba + 7 * (lba >> 8) + 3 * (lba >> 16)
    s = bytearray((i + base) & 0xFF for i in range(SECTOR))
    s[0:14] = PACK_HEADER
    s[16:20] = struct.pack("<I", lba & 0xFFFFFFFF)
    s[2044:2048] = struct.pack("<I", lba & 0xFFFFFFFF)
    return bytes(s)


def ifo(offset, length):
    """Bytes [offset, offset + length) of the generated VR_MANGR.IFO content."""
    ident = b"DVD_RTR_VMG0"
    return bytes(ident[o] if o < 12 else (7 * o + o // SECTOR) & 0xFF for o in range(offset, offset + length))


_streams = {}


def stream(name):
    """A bundled MPEG-2 program stream of tests/data, e.g. stream('rec-a')."""
    if name not in _streams:
        with lzma.open(os.path.join(DATA, name + ".vob.xz")) as f:
            _streams[name] = f.read()
    return _streams[name]


def expected_file(content, extents):
    """A file's bytes as a reader must return them.

    content: ('packs',), ('ifo',), ('zeros',) or ('bytes', data);
    extents: [(type, sector, length)] in order; types 1 and 2 read as zeros.
    """
    out = bytearray()
    for kind, sector, length in extents:
        offset = len(out)
        if kind != 0 or content[0] == "zeros":
            out += bytes(length)
        elif content[0] == "packs":
            for i in range((length + SECTOR - 1) // SECTOR):
                out += pack(sector + i)[: min(SECTOR, length - i * SECTOR)]
        elif content[0] == "ifo":
            out += ifo(offset, length)
        else:
            piece = content[1][offset : offset + length]
            out += piece + bytes(length - len(piece))
    return bytes(out)


def read_image(image, sector, count=1, offset=0, length=None):
    with open(image, "rb") as f:
        f.seek(sector * SECTOR + offset)
        return f.read(count * SECTOR if length is None else length)


# ---- readers that are not ours -----------------------------------------------------------------


def sevenzip():
    exe = shutil.which("7z")
    if not exe:
        skip("7z is not installed (apt-get install p7zip-full)")
    return exe


def extract_7z(image, out):
    """Extracts the whole volume with 7z; returns (status, messages, {path: bytes})."""
    shutil.rmtree(out, ignore_errors=True)
    run = subprocess.run([sevenzip(), "x", "-tudf", "-y", "-o" + out, image], capture_output=True, text=True)
    text = run.stdout + run.stderr
    problems = [l for l in text.splitlines() if "ERROR" in l.upper() or "WARNING" in l.upper()]
    files = {}
    for root, _, names in os.walk(out):
        for name in names:
            full = os.path.join(root, name)
            with open(full, "rb") as f:
                files["/" + os.path.relpath(full, out)] = f.read()
    dirs = set()
    for root, names, _ in os.walk(out):
        for name in names:
            dirs.add("/" + os.path.relpath(os.path.join(root, name), out))
    return run.returncode, problems, files, dirs


class UdfRead:
    """libudfread (the UDF reader library of libbluray) through ctypes."""

    def __init__(self):
        name = ctypes.util.find_library("udfread") or "libudfread.so.0"
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            skip("libudfread is not installed (apt-get install libudfread0)")
        lib.udfread_init.restype = ctypes.c_void_p
        lib.udfread_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.udfread_open.restype = ctypes.c_int
        lib.udfread_close.argtypes = [ctypes.c_void_p]
        lib.udfread_file_open.restype = ctypes.c_void_p
        lib.udfread_file_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.udfread_file_size.restype = ctypes.c_int64
        lib.udfread_file_size.argtypes = [ctypes.c_void_p]
        lib.udfread_file_read.restype = ctypes.c_ssize_t
        lib.udfread_file_read.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        lib.udfread_file_close.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def read(self, image, paths):
        """Returns {path: bytes or None} for the files of one image."""
        lib = self.lib
        handle = lib.udfread_init()
        result = {}
        if lib.udfread_open(handle, image.encode()) < 0:
            lib.udfread_close(handle)
            return {p: None for p in paths}
        for path in paths:
            f = lib.udfread_file_open(handle, path.encode())
            if not f:
                result[path] = None
                continue
            size = lib.udfread_file_size(f)
            buf = ctypes.create_string_buffer(max(size, 1))
            got = lib.udfread_file_read(f, buf, size) if size > 0 else 0
            result[path] = buf.raw[:got] if got == size else None
            lib.udfread_file_close(f)
        lib.udfread_close(handle)
        return result


# ---- an independent walk of the on-disc structures ---------------------------------------------


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def tag_problem(buf, ident, location, version=None):
    """None when the 16-byte tag at the start of BUF is right, else what is wrong."""
    if len(buf) < 16:
        return "short descriptor"
    tid, ver, checksum, _, _, crc, crc_len, loc = struct.unpack_from("<HHBBHHHI", buf, 0)
    if tid != ident:
        return "identifier %d, want %d" % (tid, ident)
    if version is not None and ver != version:
        return "version %d, want %d" % (ver, version)
    if checksum != (sum(buf[0:4]) + sum(buf[5:16])) & 0xFF:
        return "bad tag checksum"
    if 16 + crc_len > len(buf) or crc16(buf[16 : 16 + crc_len]) != crc:
        return "bad CRC"
    if loc != location:
        return "tag location %d, want %d" % (loc, location)
    return None
