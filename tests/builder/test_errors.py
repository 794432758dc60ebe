#!/usr/bin/env python3
"""Bad recipes end with status 1 and one clear line on standard error, compared byte for byte
with errors.golden; and no recipe, however mangled, crashes the builder.

Run with --update to rewrite errors.golden after a deliberate change of wording.
"""

import os
import random
import resource
import signal
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
from builder_lib import HERE, Checks, tool, workdir

MANY = "".join("extent 0 %d 1s\n" % (10112 + 2 * i) for i in range(241))

CASES = [
    ("no-size", "dir /X\n"),
    ("unknown-directive", "sectors 12000\nfrobnicate 3\n"),
    ("bad-number", "sectors 12x\n"),
    ("too-large", "sectors 99999999999\n"),
    ("too-small", "sectors 100\n"),
    ("parent-missing", "sectors 12000\nfile /DVD_RTAV/VR_MOVIE.VRO\n"),
    ("declared-twice", "sectors 12000\ndir /A\ndir /A\n"),
    ("root-is-a-directory", "sectors 12000\nfile /\n"),
    ("trailing-slash", "sectors 12000\ndir /A/\n"),
    ("unknown-option", "sectors 12000\ndir /A size=3 colour=red\n"),
    ("deleted-option", "sectors 12000\ndir /A\ndeleted /A/B form=long\n"),
    ("bad-ea", "sectors 12000\ndir /A ea=30\n"),
    ("bad-form", "sectors 12000\ndir /A form=tiny\n"),
    ("bad-content", "sectors 12000\ndir /A\nfile /A/B content=music\n"),
    ("missing-content", "sectors 12000\ndir /A\nfile /A/B content=file:nothere.vob\n"),
    ("bad-recording-date", "sectors 12000\nrecording a.vob date=2020-13-01/10:00:00\n"),
    ("bad-title-escape", "sectors 12000\nrecording a.vob title=ab%4\n"),
    ("mangr-without-recordings", "sectors 12000\ndir /A\nfile /A/VR_MANGR.IFO content=mangr\n"),
    ("orphan-extent", "sectors 12000\nextent 0 10112 1s\n"),
    ("type-3-extent", "sectors 12000\ndir /A\nfile /A/B\nextent 3 10112 1s\n"),
    ("nodata-auto", "sectors 12000\ndir /A\nfile /A/B\nextent 0 auto 1s nodata\n"),
    ("extent-too-long", "sectors 12000\ndir /A\nfile /A/B\nextent 0 10112 1073741824\n"),
    ("too-many-descriptors", "sectors 12000\ndir /A\nfile /A/B\n" + MANY),
    ("too-big-to-embed", "sectors 12000\ndir /A\nfile /A/B form=embedded size=2000\n"),
    ("packs-embedded", "sectors 12000\ndir /A\nfile /A/B form=embedded size=20 content=packs\n"),
    ("extents-and-at", "sectors 12000\ndir /A\nfile /A/B at=10112\nextent 0 10112 1s\n"),
    ("directory-extent-short", "sectors 12000\ndir /A\ncontinue auto\nextent 0 auto 10\n"),
    ("erased-over-movie", "sectors 12000\nerased 11000 10s\n"),
    ("erased-outside", "sectors 12000\nerased 100 1s\n"),
    ("erased-packs-length", "sectors 12000\nerased 11000\n"),
    ("extent-overlap", "sectors 12000\ndir /A\nfile /A/B\nextent 0 10112 10s\nfile /A/C\nextent 0 10115 1s\n"),
    ("extent-beyond-partition", "sectors 12000\ndir /A\nfile /A/B\nextent 0 11990 20s\n"),
    ("no-room", "sectors 12000\ndir /A\nfile /A/B size=100000s\n"),
    ("before-partition", "sectors 12000\ndir /A fe=100\n"),
    ("movie-after-partition", "sectors 9000\n"),
    ("ifo-before-partition", "sectors 12000\npartition 9000\n"),
    ("partition-beyond-image", "sectors 12000\npartition 300 12000\n"),
    ("partition-over-anchor", "sectors 12000\npartition 200 1000\n"),
    ("sequences-overlap", "sectors 12000\nvds 32 40\n"),
    ("recognition-overlap", "sectors 12000\niso9660 14\n"),
    ("anchor-before-image", "sectors 12000\nanchors last-20000\n"),
    ("bitmap-bits", "sectors 12000\nbitmap-bits 20000\n"),
    ("mark-beyond-bitmap", "sectors 12000\nbitmap-bits 100\nmark-free +200 1\n"),
    ("mark-without-bitmap", "sectors 12000\nbitmap none\nmark-used +1 1\n"),
    ("bad-hex", "sectors 12000\npatch 300 0 0g\n"),
    ("set-too-wide", "sectors 12000\nset 300 0 2 70000\n"),
    ("bad-width", "sectors 12000\nset 300 0 3 7\n"),
    ("patch-beyond-end", "sectors 12000\npatch 11999 2047 0102\n"),
    ("bad-fix", "sectors 12000\npatch 300 0 01 fixit\n"),
    ("nsr-4", "sectors 12000\nnsr 4\n"),
]

COMMANDS = [
    ("no-arguments", []),
    ("missing-recipe", ["nofile.recipe", "x.img"]),
    ("missing-folder", ["ok.recipe", "nodir/x.img"]),
]


def run(args, cwd):
    return subprocess.run([tool()] + args, cwd=cwd, capture_output=True, text=True)


def golden_text(work):
    out = []
    with open(os.path.join(work, "ok.recipe"), "w") as f:
        f.write("sectors 12000\n")
    for name, recipe in CASES:
        with open(os.path.join(work, name + ".recipe"), "w") as f:
            f.write(recipe)
        r = run([name + ".recipe", name + ".img"], work)
        out.append("== %s: status %d\n%s" % (name, r.returncode, r.stderr))
    for name, args in COMMANDS:
        r = run(args, work)
        out.append("== %s: status %d\n%s" % (name, r.returncode, r.stderr))
    return "".join(out)


# ---- mangled recipes ------------------------------------------------------------------------------

BASES = [
    "sectors 12000\ndir /DVD_RTAV\nfile /DVD_RTAV/VR_MANGR.IFO size=100\nfile /DVD_RTAV/VR_MOVIE.VRO size=50s\n"
    "erased 11000 5s\n",
    "sectors 12000\nnsr 3\niso9660 2\nbitmap +100\ndir /DVD_RTAV form=long\nfile /DVD_RTAV/VR_MOVIE.VRO form=ext\n"
    "extent 0 10112 10s\ncontinue auto\nextent 1 10200 3000\nextent 2 - 1s\ncontinue +50 length=300\n"
    "extent 0 10300 1s\ndeleted /DVD_RTAV/X fe=+3\nfile /DVD_RTAV/VR_MANGR.IFO form=embedded size=10\n"
    "patch +0 20 ffff fix\nset 256 16 4 1024 nofix\n",
    "sectors 12000\nvds 40 last-16\nlvid 90\nanchors 256 last\nbitmap-bits 5000\nmark-free +7 2\n"
    "dir / form=embedded\ndir /A liu=40 ea=24\nfile /A/F size=3000 content=ifo at=+9000\n",
]
WORDS = ["0", "1", "2", "3", "-1", "+0", "+1", "+99999999", "4294967295", "4294967296",
         "18446744073709551615", "18446744073709551616", "0x", "0xffffffff", "s", "0s", "99999999999s", "auto",
         "-", "last", "last-5", "last-99999999", "none", "fix", "fix=4000", "nodata", "form=embedded", "form=ext",
         "content=file:/dev/null", "content=packs", "size=0", "size=1073741823", "at=+0", "at=0", "fe=+0",
         "liu=1024", "ea=1024", "chars=255", "length=0", "dir", "/", "//", "/A/F", "=", "x=", "ff" * 40]
LINES = ["continue auto", "extent 0 auto 1", "extent 2 - 0", "dir /A/B", "file /F size=1", "deleted /F",
         "partition 272 1", "partition 11990", "bitmap none", "fsd +0", "bitmap-nbytes 0", "vds-length 0",
         "extra-pd 65535 4294967295 4294967295", "erased +0 1", "mark-used +0 99999999", "iso9660 13", "nsr 3",
         "anchors last-1 last", "label " + "L" * 31, "sectors 300", "sectors 268435456"]


def mangle(rng, text):
    lines = text.splitlines()
    for _ in range(rng.randint(1, 3)):
        choice = rng.randrange(4)
        i = rng.randrange(len(lines))
        if choice == 0:
            words = lines[i].split()
            if len(words) > 1:
                words[rng.randrange(1, len(words))] = rng.choice(WORDS)
            else:
                words.append(rng.choice(WORDS))
            lines[i] = " ".join(words)
        elif choice == 1:
            lines.insert(rng.randrange(len(lines) + 1), rng.choice(LINES))
        elif choice == 2 and len(lines) > 1:
            del lines[i]
        else:
            lines.insert(i, lines[i])
    return "\n".join(lines) + "\n"


def limit_output():
    # Runaway images fail with EFBIG instead of filling the disk.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))


def fuzz(work, checks, rounds=400):
    rng = random.Random(20060314)
    crashes = 0
    for n in range(rounds):
        recipe = mangle(rng, rng.choice(BASES))
        path = os.path.join(work, "mangled.recipe")
        with open(path, "w") as f:
            f.write(recipe)
        try:
            r = subprocess.run([tool(), path, os.path.join(work, "mangled.img")], capture_output=True, text=True,
                               preexec_fn=limit_output, timeout=30)
        except subprocess.TimeoutExpired:
            checks.check(False, "mangled recipe %d hangs:\n%s" % (n, recipe))
            continue
        lines = r.stderr.splitlines()
        ok = (r.returncode == 0 and not lines) or \
             (r.returncode == 1 and len(lines) == 1 and lines[0].startswith("mkvrdisc: "))
        if not checks.check(ok, "mangled recipe %d: status %d, stderr %r:\n%s" % (n, r.returncode, r.stderr, recipe)):
            crashes += 1
            if crashes > 5:
                break


def main():
    checks = Checks()
    work = workdir("errors")
    got = golden_text(work)
    golden = os.path.join(HERE, "errors.golden")
    if "--update" in sys.argv:
        with open(golden, "w") as f:
            f.write(got)
    with open(golden) as f:
        want = f.read()
    if not checks.check(got == want, "messages differ from errors.golden"):
        for g, w in zip(got.splitlines(), want.splitlines()):
            if g != w:
                print("  got:  " + g + "\n  want: " + w)
                break
    fuzz(work, checks)
    checks.finish()


if __name__ == "__main__":
    main()
