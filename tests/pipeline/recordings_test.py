#!/usr/bin/env python3
"""vrsalvage --recordings on the sample disc: a run with unreadable sectors injected inside a
live and inside an erased recording, then a run without them that completes every file; the
report's JSON against the injected sectors, its thumbnails, and the HTML in headless Chromium
(desktop and phone widths) and tidy.

usage: recordings_test.py VRSALVAGE MKVRDISC MAKE_SAMPLE_IMAGE VRSPLIT"""
import json, os, re, shutil, struct, subprocess, sys, tempfile, time, zlib

vrsalvage, mkvrdisc, make_sample, vrsplit = sys.argv[1:5]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def run(*arguments):
    result = subprocess.run([vrsalvage, *arguments], capture_output=True, text=True)
    return result.returncode, result.stdout.replace("\r", "\n")


def jpeg_size(data):
    """(width, height) from the first start-of-frame marker."""
    at = 2
    while at + 9 < len(data):
        marker, length = data[at + 1], struct.unpack(">H", data[at + 2:at + 4])[0]
        if 0xC0 <= marker <= 0xC3:
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + length
    return None


def png_colours(path):
    """The number of distinct scanline byte values of an 8-bit RGB(A) PNG: 1 or 2 when blank."""
    data = open(path, "rb").read()
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunks.append((kind, data[at + 8:at + 8 + length]))
        at += 12 + length
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    return len(set(raw[1:200000]))


work = tempfile.mkdtemp(prefix="pipeline-")
try:
    sample = os.path.join(work, "sample")
    subprocess.run(["bash", make_sample, sample, mkvrdisc], check=True, capture_output=True)
    image = os.path.join(sample, "sample.img")
    record = open(image + ".record").read()
    start = int(re.search(r"^partition (\d+)", record, re.M).group(1))
    first_erased = start + int(re.findall(r"^erased (\d+) (\d+)", record, re.M)[-1][0])
    sectors = os.path.getsize(image) // 2048
    # Unreadable: two sectors inside the first live recording, one inside the erased one.
    bad = [(10130, 2), (first_erased + 40, 1)]
    mapfile = os.path.join(work, "image.map")
    blocks, position = [], 0
    for first, count in bad:
        blocks += [(position, first * 2048 - position, "+"), (first * 2048, count * 2048, "-")]
        position = (first + count) * 2048
    blocks.append((position, sectors * 2048 - position, "+"))
    with open(mapfile, "w") as out:
        out.write("# image mapfile\n0x0 +\n")
        out.writelines("0x%x 0x%x %s\n" % block for block in blocks)

    folder = os.path.join(work, "out")
    cases = [  # (run, arguments, exit status, whole recordings (table numbers), unreadable areas)
        ("with faults", ["--image-mapfile=" + mapfile], 1, {2}, bad),
        ("resumed without faults", [], 0, {1, 2, 3}, []),
    ]
    sources = {1: "sample-kept-1.vob", 2: "sample-kept-2.vob", 3: "sample-erased.vob"}
    for name, extra, status, whole, unreadable in cases:
        code, output = run(*extra, "--recordings=" + folder, image)
        check(code == status, f"{name}: exit status {code}, not {status}\n{output}")
        report = json.load(open(os.path.join(folder, "report.json")))
        areas = [(a["first"], a["count"]) for a in report["areas"] if a["kind"] == "unreadable"]
        check(areas == unreadable, f"{name}: unreadable areas {areas}, not {unreadable}")
        check((report["disc"]["outcome"] == "everything was read") == (not unreadable), f"{name}: outcome")
        recordings = {r["number"]: r for r in report["recordings"]}
        check(sorted(recordings) == [1, 2, 3], f"{name}: recordings {sorted(recordings)}")
        for number, source in sources.items():
            made = open(os.path.join(folder, recordings[number]["file"]), "rb").read()
            expected = open(os.path.join(sample, source), "rb").read()
            identical = made[:len(expected)] == expected
            check(identical == (number in whole), f"{name}: recording {number} identical: {identical}")
            check((recordings[number]["unreadable_sectors"] == 0) == (number in whole),
                  f"{name}: recording {number} unreadable sectors {recordings[number]['unreadable_sectors']}")
        html = open(os.path.join(folder, "report.html")).read()
        check(html.count('data-kind="unreadable"') == len(unreadable), f"{name}: unreadable areas in the map")

    # vrsplit --report from the same files: the same recordings.
    disc, again = os.path.join(folder, "disc"), os.path.join(work, "again")
    os.makedirs(again)
    result = subprocess.run([vrsplit, "--report=" + os.path.join(again, "r.html"), "-o", again,
                             "--mapfile=" + os.path.join(disc, "mapfile")] +
                            [os.path.join(disc, name) for name in
                             ("VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MOVIE_R.VRO", "VR_MANGR_R.IFO")],
                            capture_output=True, text=True)
    from_files = json.load(open(os.path.join(again, "r.html.json")))
    same = lambda r: [(x["number"], x["title"], x["file"], x["seconds"]) for x in r["recordings"]]
    check(result.returncode == 0 and same(from_files) == same(report), f"vrsplit --report: {result.stderr}")

    # A file in the way that this program did not write is left alone, and nothing is read.
    other = os.path.join(work, "other")
    os.makedirs(other)
    open(os.path.join(other, "report.html"), "w").write("mine")
    code, output = run("--recordings=" + other, image)
    check(code == 255 and open(os.path.join(other, "report.html")).read() == "mine"
          and not os.path.exists(os.path.join(other, "disc", "mapfile")), f"a foreign report.html: status {code}")

    # Thumbnails: JPEGs 160 wide, one per recording, all different.
    pictures = [r["thumbnail"] for r in report["recordings"]]
    if report["thumbnails_note"]:
        print("no thumbnails in this build:", report["thumbnails_note"])
    else:
        data = [__import__("base64").b64decode(p.split(",", 1)[1]) for p in pictures if p]
        check(len(data) == 3 and len(set(data)) == 3, "three different thumbnails")
        for picture in data:
            size = jpeg_size(picture)
            check(picture[:2] == b"\xff\xd8" and size and size[0] == 160 and 80 <= size[1] <= 130,
                  f"thumbnail size {size}")

    # The programs link none of FFmpeg's libraries. Without the media module where they look
    # for it: the same recordings, no pictures and the loader's reason; vrsplit says that
    # --format=mkv needs it.
    for program in (vrsalvage, vrsplit):
        needed = subprocess.run(["readelf", "-d", program], capture_output=True, text=True).stdout
        check("libc.so" in needed and not re.search(r"\[lib(av|sw)", needed), f"{program} links FFmpeg")
    if not report["thumbnails_note"]:
        nowhere = os.path.join(work, "no-module")
        os.makedirs(nowhere)
        missing = os.path.join(nowhere, "vrsalvage-media.so") + ": "
        alone = dict(os.environ, VRSALVAGE_MODULE_DIR=nowhere)
        bare = os.path.join(work, "bare")
        result = subprocess.run([vrsalvage, "--recordings=" + bare, image], capture_output=True, env=alone)
        without = json.load(open(os.path.join(bare, "report.json")))
        check(result.returncode == 0 and same(without) == same(report)
              and all(r["thumbnail"] is None for r in without["recordings"])
              and without["thumbnails_note"].startswith(
                  "this build has no FFmpeg libraries to decode pictures with (" + missing),
              f"without the module: status {result.returncode}, note {without['thumbnails_note']!r}")
        result = subprocess.run([vrsplit, "--format=mkv", "-o", os.path.join(work, "mkv"),
                                 os.path.join(disc, "VR_MANGR.IFO"), os.path.join(disc, "VR_MOVIE.VRO")],
                                capture_output=True, text=True, env=alone)
        lines = result.stderr.splitlines()
        check(result.returncode == 2 and len(lines) == 2 and lines[0].startswith("vrsplit: --format=mkv needs")
              and lines[1].startswith("vrsplit: " + missing), f"vrsplit without the module: {result.stderr!r}")

    # Size and time of the report.
    size = os.path.getsize(os.path.join(folder, "report.html"))
    check(size < 2_000_000, f"report.html is {size} bytes")

    # The page in a real browser and tidy, where installed.
    chromium = shutil.which("chromium")
    if chromium:
        for width in (1280, 390):
            shot = os.path.join(work, f"report-{width}.png")
            result = subprocess.run(
                [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--enable-logging=stderr",
                 "--user-data-dir=" + os.path.join(work, f"profile-{width}"), "--screenshot=" + shot,
                 f"--window-size={width},1800", "file://" + os.path.join(folder, "report.html")],
                capture_output=True, text=True, timeout=120)
            check(os.path.exists(shot) and png_colours(shot) > 16, f"screenshot at {width} px is blank")
            console = [line for line in result.stderr.splitlines() if "CONSOLE" in line]
            check(not console, f"console messages at {width} px: {console}")
    else:
        print("chromium not installed: no screenshots")
    if shutil.which("tidy"):
        result = subprocess.run(["tidy", "-errors", "-q", os.path.join(folder, "report.html")],
                                capture_output=True, text=True)
        check(result.returncode == 0, "tidy: " + result.stderr)
finally:
    shutil.rmtree(work)

print("FAILED" if failures else "ok", len(failures))
sys.exit(1 if failures else 0)
