#!/usr/bin/env python3
"""vrsplit on what vrsalvage salvages from builder images.

The disc: 3 live recordings (a: "Dad's 70th"; b: a Shift-JIS title in two cells; c: no
title), 3 erased ones in free blocks (c and b back to back, a cut short by the later live
recording c) and an older management file describing them in the free management blocks.
Checks: the live files byte-identical with their names and the table (golden), the erased
pieces as the data they were, durations by ffprobe, clean decoding, JSON, no overwriting,
copy-once marking, bad usage, and damaged management files (each its message, status 255).

Usage: program_test.py MKVRDISC VRSALVAGE VRSPLIT [--disk-full]
"""
import json
import lzma
import os
import shutil
import struct
import subprocess
import sys

MKVRDISC, VRSALVAGE, VRSPLIT = sys.argv[1:4]
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
WORK = os.path.abspath("work-vrsplit")
failures = []
passed = 0


def check(ok, what):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(what)
        print("FAIL:", what)


def run(args, cwd=WORK):
    return subprocess.run(args, cwd=cwd, capture_output=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


OLD_RECIPE = """sectors 10800
charset sjis
recording c.vob date=2019-05-01/10:00:00 title=Old%20one
recording b.vob date=2019-05-02/11:30:00
recording a.vob date=2019-05-03/12:45:10
file /VR_MANGR.IFO content=mangr
"""

# Movie file: a at 10112, b at 10390, c at 10560, the places between them kept in the file
# as extents neither allocated nor recorded; erased: c at 10186, b right after it, and a at
# 10520 of which 40 sectors survive under c.
DISC_RECIPE = """sectors 10800
charset sjis
recording a.vob date=2020-06-13/14:05:09 title=Dad's%2070th
recording b.vob date=2020-07-01/09:30:00 title=%89%5E%93%AE%89%EF cells=2
recording c.vob date=2020-08-15/18:00:59
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO content=mangr
file /DVD_RTAV/VR_MOVIE.VRO content=file:movie.vob
extent 0 10112 74s
extent 2 - 204s
extent 0 10390 130s
extent 2 - 40s
extent 0 10560 74s
erased 10186 content=file:c.vob
erased 10260 content=file:b.vob
erased 10520 40s content=file:a.vob
erased 8760 content=file:old.img.ifo
"""


def duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                         capture_output=True, text=True)
    return float(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else -1.0


def decodes_cleanly(path):
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True)
    return out.returncode == 0 and not out.stderr


def salvage(image, mode_args, folder):
    path = os.path.join(WORK, folder)
    os.mkdir(path)
    result = run([VRSALVAGE] + mode_args + [image], cwd=path)
    check(result.returncode == 0, "vrsalvage %s ends with status 0" % " ".join(mode_args))
    return path


def golden(name, text):
    check(text == read(os.path.join(HERE, name)).decode("utf-8"), "output equals " + name)


LIVE_NAMES = {"a": "01_2020-06-13_14-05-09_Dad's 70th.mpg", "b": "02_2020-07-01_09-30-00_\u904b\u52d5\u4f1a.mpg",
              "c": "03_2020-08-15_18-00-59.mpg"}


def prepare():
    """The recordings' streams by key, and the disc image made of them."""
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    streams = {}
    for name in "abc":
        streams[name] = lzma.decompress(read(os.path.join(DATA, "rec-%s.vob.xz" % name)))
        write(os.path.join(WORK, name + ".vob"), streams[name])
    hole = lambda sectors: bytes(sectors * 2048)
    write(os.path.join(WORK, "movie.vob"), streams["a"] + hole(204) + streams["b"] + hole(40) + streams["c"])
    write(os.path.join(WORK, "old.recipe"), OLD_RECIPE.encode())
    write(os.path.join(WORK, "disc.recipe"), DISC_RECIPE.encode())
    for recipe, image in (("old.recipe", "old.img"), ("disc.recipe", "disc.img")):
        result = run([MKVRDISC, recipe, image])
        check(result.returncode == 0, "mkvrdisc " + recipe + ": " + result.stderr.decode())
    return streams, os.path.join(WORK, "disc.img")


def main():
    streams, image = prepare()
    have_ffmpeg = shutil.which("ffprobe") and shutil.which("ffmpeg")

    # Live recordings.
    live = salvage(image, [], "live")
    os.mkdir(os.path.join(live, "out"))
    result = run([VRSPLIT, "-o", "out", "VR_MANGR.IFO", "VR_MOVIE.VRO"], cwd=live)
    check(result.returncode == 0, "vrsplit: status 0")
    golden("live.golden", result.stdout.decode("utf-8"))
    names = LIVE_NAMES
    check(sorted(os.listdir(os.path.join(live, "out"))) == sorted(names.values()), "three files with dated names")
    for key, name in names.items():
        path = os.path.join(live, "out", name)
        check(os.path.exists(path) and read(path) == streams[key], name + " is the recording laid down")
        if have_ffmpeg and os.path.exists(path):
            check(abs(duration(path) - duration(os.path.join(WORK, key + ".vob"))) < 0.5, name + ": duration")
            check(decodes_cleanly(path), name + ": decodes without error")
    listing = run([VRSPLIT, "--list", "--json", "VR_MANGR.IFO"], cwd=live)
    check(listing.returncode == 0, "--list --json: status 0")
    table = json.loads(listing.stdout) if listing.returncode == 0 else {"recordings": []}
    check([r["title"] for r in table["recordings"]] == ["Dad's 70th", "\u904b\u52d5\u4f1a", ""], "--json titles")
    check([r["first_sector"] for r in table["recordings"]] == [0, 278, 448], "--json first sectors")
    # A second run keeps the complete files; a file of the name but another size is not
    # overwritten.
    write(os.path.join(live, "out", names["c"]), b"not mine")
    again = run([VRSPLIT, "-o", "out", "VR_MANGR.IFO", "VR_MOVIE.VRO"], cwd=live)
    kept = [("kept %s (exists already, complete)" % names[key]).encode() in again.stdout for key in "abc"]
    check(again.returncode == 1 and kept == [True, True, False] and b"never overwrites" in again.stdout,
          "a second run keeps the complete files and overwrites nothing: %r" % again.stdout)
    check(read(os.path.join(live, "out", names["c"])) == b"not mine", "the file of another size is unchanged")

    # Copy-once: scrambling-control bits 01 in every video packet of the second recording.
    movie = bytearray(read(os.path.join(live, "VR_MOVIE.VRO")))
    for sector in range(278, 408):
        at = sector * 2048 + 14 + (movie[sector * 2048 + 13] & 7)
        while at + 9 <= (sector + 1) * 2048 and movie[at:at + 3] == b"\0\0\1":
            if movie[at + 3] >= 0xE0:
                movie[at + 6] |= 0x10
            at += 6 + struct.unpack(">H", movie[at + 4:at + 6])[0]
    write(os.path.join(live, "scrambled.vro"), bytes(movie))
    os.mkdir(os.path.join(live, "cprm"))
    result = run([VRSPLIT, "--json", "-o", "cprm", "VR_MANGR.IFO", "scrambled.vro"], cwd=live)
    marks = [r["copy_once"] for r in json.loads(result.stdout)["recordings"]] if result.returncode == 0 else []
    check(marks == [False, True, False], "copy-once marked on the scrambled recording only")

    # Erased recordings.
    rest = salvage(image, ["-r"], "rest")
    result = run([VRSPLIT, "--erased", "VR_MOVIE_R.VRO", "VR_MANGR_R.IFO"], cwd=rest)
    check(result.returncode == 0, "vrsplit --erased: status 0")
    golden("erased.golden", result.stdout.decode("utf-8"))
    pieces = {"erased_01_2019-05-01_10-00-00_Old one.mpg": streams["c"], "erased_02_2019-05-02_11-30-00.mpg": streams["b"],
              "erased_03.mpg": streams["a"][:40 * 2048]}
    write(os.path.join(WORK, "a-survives.vob"), streams["a"][:40 * 2048])
    sources = {"erased_01_2019-05-01_10-00-00_Old one.mpg": "c.vob", "erased_02_2019-05-02_11-30-00.mpg": "b.vob",
               "erased_03.mpg": "a-survives.vob"}
    for name, data in pieces.items():
        path = os.path.join(rest, name)
        check(os.path.exists(path) and read(path) == data, name + " is the erased data")
        if have_ffmpeg and os.path.exists(path):
            check(abs(duration(path) - duration(os.path.join(WORK, sources[name]))) < 0.5, name + ": duration")
    if have_ffmpeg:
        for name in list(pieces)[:2]:
            check(decodes_cleanly(os.path.join(rest, name)), name + ": decodes without error")

    erased_with_holes(rest, have_ffmpeg)

    # Bad usage: status 2 and the usage text.
    for args in ([], ["--list"], ["--frobnicate", "x"], ["--list", "a", "b"], ["--list", "--erased", "a"],
                 ["--erased", "a", "b", "c"], ["-o"]):
        result = run([VRSPLIT] + args)
        check(result.returncode == 2 and b"usage: vrsplit" in result.stderr, "bad usage %s: status 2" % args)

    # A file that cannot be opened: its name and the system's reason, status 255.
    for args in (["--list", "missing.ifo"], ["--erased", "missing.ifo"]):
        result = run([VRSPLIT] + args)
        check(result.returncode == 255 and result.stderr == b"vrsplit: missing.ifo: cannot open (No such file or "
              b"directory)\n", "%s: %r" % (args, result.stderr))

    # --version names the build's version, as vrsalvage's does.
    versions = [run([program, "--version"]).stdout.split()[-1] for program in (VRSALVAGE, VRSPLIT)]
    check(versions[0] == versions[1], "vrsplit --version says %r, vrsalvage %r" % tuple(versions))

    damaged_management_files(read(os.path.join(live, "VR_MANGR.IFO")))

    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


def scr_of(data, sector):
    b = data[sector * 2048:sector * 2048 + 9]
    return ((b[4] >> 3 & 7) << 30 | (b[4] & 3) << 28 | b[5] << 20 | (b[6] >> 3 & 0x1F) << 15 | (b[6] & 3) << 13
            | b[7] << 5 | b[8] >> 3)


def next_vobu(data, sector):
    """The first sector from `sector` on whose pack holds a navigation packet."""
    while b"\0\0\1\xbf" not in data[sector * 2048:sector * 2048 + 64]:
        sector += 1
    return sector


def erased_with_holes(rest, have_ffmpeg):
    """Zero sectors, as a keep-going salvage writes unreadable ones, in the erased data: inside a
    recording they are a hole kept in place (same pieces, sizes and names as without them, the
    seconds by the clock on both sides); where the clock does not run on they still cut, and
    the packs dropped up to the next VOBU start are counted."""
    base = read(os.path.join(rest, "VR_MOVIE_R.VRO"))
    clean = json.loads(run([VRSPLIT, "--erased", "--json", "-o", "clean", "VR_MOVIE_R.VRO", "VR_MANGR_R.IFO"],
                           cwd=rest).stdout)["recordings"]
    b_first, b_last = clean[1]["first_sector"], clean[1]["last_sector"]
    zero = bytes(2048)

    def zeroed(sectors):
        data = bytearray(base)
        for sector in sectors:
            data[sector * 2048:(sector + 1) * 2048] = zero
        return bytes(data)

    def hole_seconds(data, runs):
        return sum(scr_of(data, end) - scr_of(data, first - 1) for first, end in runs) / 90000

    spans = [(r["first_sector"], r["last_sector"]) for r in clean]
    middle = b_first + (b_last - b_first) // 2
    cut_at = b_first + 60
    long_run = base[:cut_at * 2048] + zero * 100 + base[cut_at * 2048:]
    shifted = [(first + 100, last + 100) for first, last in spans[2:]]
    cases = [
        # what, data, holes as [first, end) runs in piece 2, expected pieces, dropped packs
        ("one zero sector", zeroed([middle]), [(middle, middle + 1)], spans, 0),
        ("two holes", zeroed([middle, middle + 1, middle + 2, b_last - 5]),
         [(middle, middle + 3), (b_last - 5, b_last - 4)], spans, 0),
        ("the first sector of a recording", zeroed([b_first]), [],
         [spans[0], (next_vobu(base, b_first + 1), b_last), spans[2]], next_vobu(base, b_first + 1) - b_first - 1),
        ("100 zero sectors, more than the clock leaves room for", long_run, [],
         [spans[0], (b_first, cut_at - 1), (next_vobu(base, cut_at) + 100, b_last + 100)] + shifted,
         next_vobu(base, cut_at) - cut_at),
    ]
    for what, data, holes, pieces, dropped in cases:
        write(os.path.join(rest, "holes.vro"), data)
        shutil.rmtree(os.path.join(rest, "holes"), ignore_errors=True)
        result = run([VRSPLIT, "--erased", "--json", "-o", "holes", "holes.vro", "VR_MANGR_R.IFO"], cwd=rest)
        table = json.loads(result.stdout) if result.stdout else {"recordings": [], "notes": []}
        got = [(r["first_sector"], r["last_sector"]) for r in table["recordings"]]
        check(result.returncode == (1 if holes else 0) and got == pieces, "%s: status %d, pieces %r, not %r"
              % (what, result.returncode, got, pieces))
        notes = table["notes"]
        dropped_note = ["%d pack(s) outside the pieces left out" % dropped in note for note in notes]
        check(any(dropped_note) == (dropped > 0), "%s: %d dropped packs reported: %r" % (what, dropped, notes))
        if not holes or len(got) != len(pieces):
            continue
        hole_note = "piece 2: %d zero sector(s) in %d hole(s) from sector %d on, kept in place; about %.2f s " \
                    "affected" % (sum(end - first for first, end in holes), len(holes), holes[0][0],
                                  hole_seconds(data, holes))
        check(hole_note in notes, "%s: %r in %r" % (what, hole_note, notes))
        piece = table["recordings"][1]
        check(piece["file"] == clean[1]["file"] and piece["bytes"] == clean[1]["bytes"],
              "%s: the piece keeps its size and its match with the older copy: %r" % (what, piece))
        path = os.path.join(rest, "holes", piece["file"] or "")
        check(os.path.isfile(path) and read(path) == data[b_first * 2048:(b_last + 1) * 2048],
              "%s: the file holds the data with the zero sectors in place" % what)
        if have_ffmpeg and os.path.isfile(path):
            clean_path = os.path.join(rest, "clean", clean[1]["file"])
            check(abs(duration(path) - duration(clean_path)) < 0.5, "%s: ffprobe still decodes it" % what)


def damaged_management_files(salvaged):
    good = salvaged[:struct.unpack(">I", salvaged[12:16])[0] + 1]
    table = struct.unpack(">I", good[256:260])[0]
    chain = struct.unpack(">I", good[304:308])[0]
    vob_count = table + 8 + 60
    vobi = table + struct.unpack(">I", good[vob_count + 2:vob_count + 6])[0]
    map_count = vobi + 25
    cells = chain + 4 + 3 * 142
    cell1 = chain + struct.unpack(">I", good[cells:cells + 4])[0]
    size = len(good)

    def put(offset, fmt, value):
        data = bytearray(good)
        struct.pack_into(fmt, data, offset, value)
        return bytes(data)

    cases = [
        ("truncated in the header", good[:300], "header at offset 0: runs past the end of the file "
         "(512 bytes needed, file of 300)"),
        ("truncated in M_AVFIT", good[:table + 4], "M_AVFIT at offset %d: runs past the end of the file "
         "(8 bytes needed, file of %d)" % (table, table + 4)),
        ("truncated in a time map", good[:map_count + 20], "M_VOBI 1 time map at offset %d: runs past the end of "
         "the file (%d bytes needed, file of %d)"
         % (map_count + 8, 3 * struct.unpack(">H", good[map_count:map_count + 2])[0], map_count + 20)),
        ("truncated in the programs", good[:chain + 100], "ORG_PGCI programs at offset %d: runs past the end of "
         "the file (426 bytes needed, file of %d)" % (chain + 4, chain + 100)),
        ("truncated in a cell", good[:size - 5], "ORG_PGCI cell 4 at offset %d: runs past the end of the file "
         "(18 bytes needed, file of %d)" % (size - 18, size - 5)),
        ("no identifier", b"DVD_RTR_VMGX" + good[12:], "header at offset 0: no \"DVD_RTR_VMG0\" identifier"),
        ("M_AVFIT outside", put(256, ">I", 0xFFFFFF00), "header at offset 256: M_AVFIT address 4294967040 lies "
         "outside the file"),
        ("ORG_PGCI outside", put(304, ">I", size), "header at offset 304: ORG_PGCI address %d lies outside the "
         "file" % size),
        ("M_VOBI outside", put(vob_count + 2, ">I", 0x7FFFFFFF), "M_VOBI 1 at offset %d: offset 2147483647 "
         "lies outside the file" % (vob_count + 2)),
        ("cell outside", put(cells, ">I", 0x10000), "ORG_PGCI cell 1 at offset %d: offset 65536 lies outside the "
         "file" % cells),
        ("65535 VOBs", put(vob_count, ">H", 65535), "M_AVFIT VOB count at offset %d: 65535 is more than the 999 "
         "allowed" % vob_count),
        ("65535 programs", put(chain, ">H", 65535), "ORG_PGCI program count at offset %d: 65535 is more than the "
         "999 allowed" % chain),
        ("65535 cells", put(chain + 2, ">H", 65535), "ORG_PGCI cell count at offset %d: 65535 is more than the "
         "9999 allowed" % (chain + 2)),
        ("65535 VOBU entries", put(map_count, ">H", 65535), "M_VOBI 1 time map at offset %d: runs past the end "
         "of the file (196605 bytes needed, file of %d)" % (map_count + 8, size)),
        ("65535 cells in a program", put(chain + 4 + 2, ">H", 65535), "ORG_PGCI program 1 at offset %d: names "
         "65535 cells, but 4 of the 4 cells are left" % (chain + 6)),
        ("a cell naming VOB 4", put(cell1 + 2, ">H", 4), "ORG_PGCI cell 1 at offset %d: plays VOB 4, but the "
         "movie file table has 3" % (cell1 + 2)),
    ]
    for what, data, message in cases:
        write(os.path.join(WORK, "damaged.ifo"), data)
        result = run([VRSPLIT, "--list", "damaged.ifo"])
        expected = "vrsplit: damaged.ifo: %s\n" % message
        ok = result.returncode == 255 and result.stderr.decode() == expected and not result.stdout
        check(ok, "damaged management file, %s: status %d, %r" % (what, result.returncode, result.stderr.decode()))


def disk_full():
    """vrsplit on a tmpfs too small for the recordings: no file under a final name is partial,
    the message names the file and the system's reason, and a run with room completes the
    rest byte-identical, replacing a stale temporary file. Status 77 (skipped) where no
    tmpfs can be mounted."""
    streams, image = prepare()
    live = salvage(image, [], "live")
    mount = os.path.join(WORK, "small")
    os.mkdir(mount)
    # Sizes (in KiB) where nothing, the first recording, and the first two fit.
    for size_kib in (64, 200, 420):
        mounted = run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kib, "tmpfs", mount])
        if mounted.returncode != 0:
            print("SKIP: cannot mount a tmpfs here: %s" % mounted.stderr.decode().strip())
            return 77
        try:
            full = run([VRSPLIT, "-o", mount, "VR_MANGR.IFO", "VR_MOVIE.VRO"], cwd=live)
            present = sorted(os.listdir(mount))
            whole = [read(os.path.join(mount, LIVE_NAMES[k])) == streams[k] for k in "abc" if LIVE_NAMES[k] in present]
            check(full.returncode == 1 and all(whole) and len(whole) < 3, "%d KiB: status %d, %r whole of %r"
                  % (size_kib, full.returncode, whole, present))
            missing = [LIVE_NAMES[k] for k in "abc" if LIVE_NAMES[k] not in present] or ["(none missing)"]
            check(("%s.part: write failed" % missing[0]).encode() in full.stdout
                  and b"(No space left on device)" in full.stdout, "%d KiB: the message names the file and the "
                  "reason: %r" % (size_kib, full.stdout))
            run(["mount", "-o", "remount,size=4m", mount])
            write(os.path.join(mount, missing[0] + ".part"), b"stale" * 100000)
            rerun = run([VRSPLIT, "-o", mount, "VR_MANGR.IFO", "VR_MOVIE.VRO"], cwd=live)
            whole = [read(os.path.join(mount, LIVE_NAMES[k])) == streams[k] for k in "abc"]
            check(rerun.returncode == 0 and all(whole) and sorted(os.listdir(mount)) == sorted(LIVE_NAMES.values()),
                  "%d KiB, then room: the rerun completes the files: %r" % (size_kib, rerun.stdout))
        finally:
            run(["umount", mount])
    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(disk_full() if sys.argv[4:] == ["--disk-full"] else main())
