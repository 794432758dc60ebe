#!/usr/bin/env python3
"""Runs vrsalvage in both modes on DVD-VR disc images made by the project's
image builder (the README's sample, with real MPEG-2 recordings, and layouts
in every allocation descriptor form) and checks standard output and every
file byte for byte against the image and the builder's record of it.

usage: builder_images_test.py VRSALVAGE MKVRDISC SAMPLE_SCRIPT
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from expect import Checks, fixed_layout, recovery_file, runs_to_set, run  # noqa: E402

check = Checks()

RECIPES = {
    # Every descriptor form, continuation chains, unrecorded extents of the
    # files themselves, the movie file's entry first, and recorded data
    # beyond the bitmap's reach.
    "forms": """
sectors 12400
vds 32 last-16
bitmap-bits 11800
dir /DVD_RTAV form=long
file /DVD_RTAV/VR_MOVIE.VRO form=ext
extent 0 10112 200s
continue auto
extent 0 10412 300s
continue auto
extent 1 10712 10s
extent 0 10722 1000s
file /DVD_RTAV/VR_MANGR.IFO form=long
extent 0 8752 1000s
extent 1 9752 5120
erased 10312 100s
""",
    # Short descriptors, an embedded file, a subdirectory before DVD_RTAV, a
    # recorded area that the bitmap covers whole.
    "short": """
sectors 11200
vds 32 last-16
dir /MISC
file /MISC/NOTE.TXT form=embedded size=100 content=zeros
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
extent 0 8752 1300s
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 400s
extent 0 10612 388s
erased 10512 100s
""",
    # The free space as an Unallocated Space Table instead of a bitmap: its
    # map covers the whole partition.
    "table": """
sectors 11200
vds 32 last-16
space table
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
extent 0 8752 1300s
extent 1 10052 20s
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 400s
extent 0 10612 388s
erased 10512 100s
""",
    # Half of the erased recording freed but not yet unallocated: in a Freed
    # Space Table beside the Unallocated Space Table, and in a Freed Space
    # Bitmap beside the bitmap.
    "freed-table": """
sectors 11200
vds 32 last-16
space table
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
extent 0 8752 1300s
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 400s
extent 0 10612 388s
erased 10512 100s
freed 10512 50
freed 9000 3
""",
    "freed-bitmap": """
sectors 11200
vds 32 last-16
dir /DVD_RTAV
file /DVD_RTAV/VR_MANGR.IFO
extent 0 8752 1300s
file /DVD_RTAV/VR_MOVIE.VRO
extent 0 10112 400s
extent 0 10612 388s
erased 10512 100s
freed 10562 50
""",
}



def read_record(path):
    record = {"free": [], "extents": {}}
    with open(path) as f:
        for line in f:
            w = line.split()
            if not w:
                continue
            if w[0] == "sectors":
                record["sectors"] = int(w[1])
            elif w[0] == "partition":
                record["start"] = int(w[1])
                record["length"] = int(w[2])
            elif w[0] == "table":  # a map of the whole partition
                record["bitmap"] = (record["length"] + 7) // 8
            elif w[0] == "bitmap":
                record["bitmap"] = None if w[1] == "none" else int(w[2])
            elif w[0] in ("free", "freed"):  # both are reusable
                record["free"].append((int(w[1]), int(w[2])))
            elif w[0] == "extent":
                record["extents"].setdefault(w[1], []).append((int(w[2]), int(w[3]), int(w[4])))
            elif w[0] == "file":
                record.setdefault("order", []).append(w[1])
    return record



def check_image(vrsalvage, image, work, erased_stream=None):
    name = os.path.basename(image)
    record = read_record(image + ".record")
    with open(image, "rb") as f:
        data = f.read()
    sectors, start = record["sectors"], record["start"]

    # The default mode.
    directory = tempfile.mkdtemp(dir=work)
    status, out = run([vrsalvage, image], directory)
    expected_out, expected_files = fixed_layout(sectors, data)
    check(status == 0, "%s: vrsalvage status %d" % (name, status))
    check(out == expected_out, "%s: vrsalvage output %r" % (name, out[:200]))
    for file_name, want in expected_files.items():
        got = open(os.path.join(directory, file_name), "rb").read()
        check(got == want, "%s: %s is the image's sectors" % (name, file_name))
    # A second run in the same folder overwrites nothing.
    status, out = run([vrsalvage, image], directory)
    check(status == 255 and out.endswith(b"*** Error!\ncan't open file\n"), "%s: second run refused" % name)
    for file_name, want in expected_files.items():
        check(open(os.path.join(directory, file_name), "rb").read() == want, "%s: %s kept" % (name, file_name))

    # The -r mode: the map, plus each file's own unrecorded extents.
    directory = tempfile.mkdtemp(dir=work)
    status, out = run([vrsalvage, "-r", image], directory)
    free = runs_to_set(record["free"])
    expected_out = b""
    for path in record["order"]:
        base = path.rsplit("/", 1)[-1]
        if base not in ("VR_MANGR.IFO", "VR_MOVIE.VRO"):
            continue
        reusable = set(free)
        for kind, block, length in record["extents"].get(path, []):
            if kind == 1:
                reusable.update(range(block, block + length // 2048))
        file_out, want = recovery_file(base, start, sectors, record["bitmap"], reusable, data)
        expected_out += file_out
        recovered = os.path.join(directory, base.replace(".", "_R."))
        got = open(recovered, "rb").read() if os.path.exists(recovered) else None
        check(got == want, "%s: %s holds the %d reusable blocks" % (name, base.replace(".", "_R."), len(want) // 2048))
    expected_out += b"completed\n"
    check(status == 0, "%s: vrsalvage -r status %d" % (name, status))
    check(out == expected_out, "%s: vrsalvage -r output\n  got      %r\n  expected %r" % (name, out[-300:], expected_out[-300:]))

    if erased_stream is not None:
        recovered = open(os.path.join(directory, "VR_MOVIE_R.VRO"), "rb").read()
        stream = open(erased_stream, "rb").read()
        check(recovered.startswith(stream), "%s: the erased recording leads VR_MOVIE_R.VRO" % name)
        if shutil.which("ffprobe"):
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                    os.path.join(directory, "VR_MOVIE_R.VRO")], stdout=subprocess.PIPE, text=True)
            duration = float(probe.stdout.strip() or 0)
            check(4.9 <= duration <= 5.2, "%s: ffprobe finds the 5 s recording (%.3f s)" % (name, duration))
        else:
            print("note: ffprobe is not installed; the decoding check was skipped")


def main():
    vrsalvage, mkvrdisc, sample_script = (os.path.abspath(a) for a in sys.argv[1:4])
    work = tempfile.mkdtemp()
    try:
        sample = os.path.join(work, "sample")
        env = dict(os.environ, SAMPLE_STREAMS="bundled")
        subprocess.run(["bash", sample_script, sample, mkvrdisc], check=True, env=env, stdout=subprocess.DEVNULL)
        check_image(vrsalvage, os.path.join(sample, "sample.img"), work, os.path.join(sample, "sample-erased.vob"))
        for name, recipe in RECIPES.items():
            recipe_path = os.path.join(work, name + ".recipe")
            with open(recipe_path, "w") as f:
                f.write(recipe)
            image = os.path.join(work, name + ".img")
            subprocess.run([mkvrdisc, recipe_path, image], check=True)
            check_image(vrsalvage, image, work)
    finally:
        shutil.rmtree(work)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main())
