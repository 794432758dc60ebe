#!/usr/bin/env python3
"""vrsplit's file times and its Matroska and MP4 output, checked with FFmpeg's and MKVToolNix's
readers on recordings made by ffmpeg (tests/data) and management files from mkvrdisc.

Checks: each file's modification time is the recording time in UTC; the .mkv carries the title
and date tags, one chapter per cell, the sum of the cells as its duration and the management
file's display aspect, and mkvmerge accepts it; .mkv and .mp4 decode without a message; two
cells from two VOBs whose clocks restart give monotonic timestamps; LPCM goes to PCM and AAC; a
movie file cut short and zero sectors still give files that play past the damage; copy-once
data stays .mpg. Status 77 (skipped) without ffprobe, ffmpeg or mkvmerge, or with a vrsplit
built without FFmpeg.

Usage: formats_test.py MKVRDISC VRSPLIT
"""
import calendar
import json
import lzma
import os
import shutil
import struct
import subprocess
import sys
import time

MKVRDISC, VRSPLIT = sys.argv[1:3]
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
WORK = os.path.abspath("work-formats")
ZONE = 9 * 3600  # mkvrdisc writes +9 h, as both recorders did
failures = []
passed = 0

RECIPE = """sectors 10800
charset sjis
recording a.vob date=2020-06-13/14:05:09 title=Dad's%2070th
recording b.vob date=2020-07-01/09:30:00 title=%89%5E%93%AE%89%EF cells=2
recording c.vob date=2020-12-31/23:59:59
file /VR_MANGR.IFO content=mangr
"""
LPCM_RECIPE = """sectors 10800
recording lpcm.vob date=2021-03-04/05:06:07 title=LPCM
file /VR_MANGR.IFO content=mangr
"""


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


def probe(path, *what):
    out = run(["ffprobe", "-v", "error", "-of", "json"] + list(what) + [path])
    return json.loads(out.stdout) if out.returncode == 0 else {}


def decodes_cleanly(path):
    out = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"])
    return out.returncode == 0 and not out.stderr


def split(folder, *args):
    """vrsplit --json into WORK/folder: (status, the table's recordings, notes)."""
    shutil.rmtree(os.path.join(WORK, folder), ignore_errors=True)
    result = run([VRSPLIT, "--json", "-o", folder] + list(args))
    table = json.loads(result.stdout) if result.stdout else {"recordings": [], "notes": []}
    return result.returncode, table["recordings"], table["notes"]


def utc_of(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S")) - ZONE


def video_of(info):
    return next((s for s in info.get("streams", []) if s["codec_type"] == "video"), {})


def check_times(folder, rows, what):
    for row in rows:
        path = os.path.join(WORK, folder, row["file"])
        check(os.path.isfile(path) and int(os.stat(path).st_mtime) == utc_of(row["recorded_at"]),
              "%s: %s has the recording time in UTC" % (what, row["file"]))


def prepare():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    streams = {}
    for name in ("a", "b", "c", "lpcm"):
        streams[name] = lzma.decompress(read(os.path.join(DATA, "rec-%s.vob.xz" % name)))
        write(os.path.join(WORK, name + ".vob"), streams[name])
    for name, recipe in (("disc", RECIPE), ("lpcm", LPCM_RECIPE)):
        write(os.path.join(WORK, name + ".recipe"), recipe.encode())
        result = run([MKVRDISC, name + ".recipe", name + ".img"])
        check(result.returncode == 0, "mkvrdisc %s: %s" % (name, result.stderr.decode()))
    write(os.path.join(WORK, "movie.vro"), streams["a"] + streams["b"] + streams["c"])
    return streams


def three_formats():
    """The three recordings in each format: times, tags, chapters, duration, aspect, decoding."""
    for fmt in ("mpg", "mkv", "mp4"):
        status, rows, notes = split(fmt, "--format=" + fmt, "disc.img.ifo", "movie.vro")
        check(status == 0 and len(rows) == 3 and all(r["file"].endswith("." + fmt) for r in rows),
              "--format=%s: status %d, %r" % (fmt, status, [r["file"] for r in rows]))
        check_times(fmt, rows, fmt)
        for row, cells in zip(rows, (1, 2, 1)):
            path = os.path.join(WORK, fmt, row["file"])
            if fmt == "mpg" or not os.path.isfile(path):
                continue
            info = probe(path, "-show_format", "-show_streams", "-show_chapters")
            tags = info.get("format", {}).get("tags", {})
            duration = float(info.get("format", {}).get("duration", -1))
            what = "%s %s" % (fmt, row["file"])
            check(len(info.get("chapters", [])) == cells, "%s: %d chapters" % (what, cells))
            check(abs(duration - row["seconds"]) < 0.1, "%s: %.3f s, cells %.3f s" % (what, duration, row["seconds"]))
            check(video_of(info).get("display_aspect_ratio") == "4:3", "%s: display aspect 4:3" % what)
            check(decodes_cleanly(path), what + ": decodes without a message")
            check(tags.get("title", "") == row["title"], "%s: title %r" % (what, tags.get("title")))
            date = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(utc_of(row["recorded_at"])))
            if fmt == "mkv":
                check(tags.get("DATE_RECORDED") == date, "%s: DATE_RECORDED %r" % (what, tags))
                check(run(["mkvmerge", "-i", path]).returncode == 0, what + ": mkvmerge -i accepts it")
                check(any("22:15" in note and "4:3" in note for note in notes), "%s: the table tells that the "
                      "stream says 22:15: %r" % (what, notes))
            else:
                codecs = [s["codec_name"] for s in info.get("streams", []) if s["codec_type"] in ("video", "audio")]
                check(codecs == ["h264", "aac"], "%s: %r" % (what, codecs))


def cells_from_two_vobs():
    """Program 1 made of the whole of VOB 1 and the first cell of VOB 2 (whose clock starts
    again): continuous, monotonic timestamps and one chapter per cell."""
    good = bytearray(read(os.path.join(WORK, "disc.img.ifo")))
    chain = struct.unpack(">I", good[304:308])[0]
    struct.pack_into(">H", good, chain + 4 + 2, 2)
    struct.pack_into(">H", good, chain + 4 + 142 + 2, 1)
    write(os.path.join(WORK, "joined.ifo"), bytes(good))
    status, rows, _ = split("joined", "--format=mkv", "joined.ifo", "movie.vro")
    path = os.path.join(WORK, "joined", rows[0]["file"]) if rows else ""
    check(status == 0 and os.path.isfile(path), "two VOBs: status %d" % status)
    if not os.path.isfile(path):
        return
    info = probe(path, "-show_format", "-show_chapters", "-show_packets")
    by_stream = {}
    for packet in info.get("packets", []):
        by_stream.setdefault(packet["stream_index"], []).append(float(packet.get("dts_time", "nan")))
    check(len(by_stream) == 2 and all(all(b > a for a, b in zip(t, t[1:])) for t in by_stream.values()),
          "two VOBs: every stream's timestamps rise")
    check(len(info.get("chapters", [])) == 2, "two VOBs: two chapters")
    duration = float(info.get("format", {}).get("duration", -1))
    check(abs(duration - rows[0]["seconds"]) < 0.1, "two VOBs: %.3f s, cells %.3f s" % (duration, rows[0]["seconds"]))
    check(decodes_cleanly(path), "two VOBs: decodes without a message")


def lpcm(streams):
    write(os.path.join(WORK, "lpcm.vro"), streams["lpcm"])
    for fmt, codec in (("mkv", "pcm_s16le"), ("mp4", "aac")):
        status, rows, _ = split("lpcm-" + fmt, "--format=" + fmt, "lpcm.img.ifo", "lpcm.vro")
        path = os.path.join(WORK, "lpcm-" + fmt, rows[0]["file"]) if rows else ""
        info = probe(path, "-show_streams") if os.path.isfile(path) else {}
        codecs = [s["codec_name"] for s in info.get("streams", []) if s["codec_type"] == "audio"]
        check(status == 0 and codecs == [codec], "LPCM to %s: status %d, %r" % (fmt, status, codecs))
        check(os.path.isfile(path) and decodes_cleanly(path), "LPCM to %s: decodes without a message" % fmt)


def damaged(streams):
    """Recording 2 with zero sectors in its middle, and a movie file that ends inside it."""
    movie = read(os.path.join(WORK, "movie.vro"))
    b_first = len(streams["a"]) // 2048
    b_sectors = len(streams["b"]) // 2048
    hole = b_first + b_sectors // 3
    cases = [("zero sectors", movie[:hole * 2048] + bytes(20 * 2048) + movie[(hole + 20) * 2048:], 1, 0),
             ("cut short", movie[:(b_first + b_sectors * 2 // 3) * 2048], 1, 1)]
    for what, data, recording, status_wanted in cases:
        write(os.path.join(WORK, "damaged.vro"), data)
        for fmt in ("mkv", "mp4"):
            status, rows, _ = split("damaged", "--format=" + fmt, "disc.img.ifo", "damaged.vro")
            row = rows[recording] if len(rows) > recording else {"file": "", "seconds": 0}
            path = os.path.join(WORK, "damaged", row["file"] or "")
            check(status == status_wanted and os.path.isfile(path), "%s, %s: status %d" % (what, fmt, status))
            if not os.path.isfile(path):
                continue
            info = probe(path, "-count_frames", "-show_streams", "-show_format")
            frames = int(video_of(info).get("nb_read_frames", 0))
            # The frames the data still holds: all but about the hole's (or the lost third's).
            wanted = 150 * (0.8 if what == "zero sectors" else 0.6)
            check(frames >= wanted, "%s, %s: %d frames decode (at least %d)" % (what, fmt, frames, wanted))
            end = float(info.get("format", {}).get("duration", 0))
            check(end > row["seconds"] * (0.9 if what == "zero sectors" else 0.6),
                  "%s, %s: plays on after the damage (%.2f s of %.2f)" % (what, fmt, end, row["seconds"]))


def copy_once():
    movie = bytearray(read(os.path.join(WORK, "movie.vro")))
    for sector in range(74, 204):  # recording 2: its video packets scrambled
        at = sector * 2048 + 14 + (movie[sector * 2048 + 13] & 7)
        while at + 9 <= (sector + 1) * 2048 and movie[at:at + 3] == b"\0\0\1":
            if movie[at + 3] >= 0xE0:
                movie[at + 6] |= 0x10
            at += 6 + struct.unpack(">H", movie[at + 4:at + 6])[0]
    write(os.path.join(WORK, "scrambled.vro"), bytes(movie))
    status, rows, notes = split("cprm", "--format=mkv", "disc.img.ifo", "scrambled.vro")
    check(status == 1 and [os.path.splitext(r["file"])[1] for r in rows] == [".mkv", ".mpg", ".mkv"]
          and any("copy-once" in note for note in notes), "copy-once stays .mpg: %d %r" % (status, notes))


def erased(streams):
    """Erased pieces take the time of the older copy that describes them; others the time of
    writing."""
    write(os.path.join(WORK, "erased.vro"), read(os.path.join(WORK, "movie.vro")) + streams["lpcm"])
    before = time.time()
    status, rows, _ = split("erased", "--erased", "erased.vro", "disc.img.ifo")
    check(status == 0 and len(rows) == 4, "--erased: status %d, %d pieces" % (status, len(rows)))
    check_times("erased", rows[:3], "--erased")
    if len(rows) == 4:
        stamp = os.stat(os.path.join(WORK, "erased", rows[3]["file"])).st_mtime
        check(rows[3]["recorded_at"] is None and before - 2 <= stamp <= time.time() + 2,
              "--erased: an unmatched piece has the time of writing")


def main():
    tools = [tool for tool in ("ffprobe", "ffmpeg", "mkvmerge") if not shutil.which(tool)]
    if tools:
        print("SKIP: needs %s" % ", ".join(tools))
        return 77
    if run([VRSPLIT, "--format=mkv", "x", "y"], cwd=None).returncode == 2:
        print("SKIP: this vrsplit is built without FFmpeg's libraries")
        return 77
    streams = prepare()
    three_formats()
    cells_from_two_vobs()
    lpcm(streams)
    damaged(streams)
    copy_once()
    erased(streams)
    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
