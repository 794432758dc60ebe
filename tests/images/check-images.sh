#!/bin/bash
# Re-verifies every disc image in this folder against its committed facts:
#   1. udffacts.py recomputes NAME.facts and the NAME.dir-*.bin files byte for byte;
#   2. udfinfo (udftools) agrees on the image size and the partition;
#   3. a reader we did not write extracts every file byte-identical to what
#      the facts' extents give (7z; udfclient for the sparable partition,
#      which 7z does not read);
#   4. the recording files and the erased recordings hold what make-images.sh
#      wrote (see README.md);
#   5. udffacts.py rejects an image whose root File Entry is damaged.
# Needs python3, xz, 7z (p7zip-full), udfinfo (udftools) and udfclient;
# exits 77 (skipped) when one is missing.  ffprobe (ffmpeg), when present,
# must decode the erased real MPEG-2 recordings.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
for tool in python3 xz 7z udfinfo udfclient; do
    if ! command -v "$tool" >/dev/null; then
        echo "check-images.sh: skipped: $tool is not installed (apt-get install xz-utils p7zip-full udftools udfclient)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
result() { # result STATUS TEXT
    if [ "$1" = 0 ]; then passed=$((passed + 1)); echo "PASS $2"; else failed=$((failed + 1)); echo "FAIL $2"; fi
}

# Images whose partition 7z cannot read; udfclient extracts those instead.
udfclient_only=" mkudffs-dvdrw "

extract_7z() { # extract_7z IMAGE DIR
    7z x -tudf -y -o"$2" "$1" >"$2.log" 2>&1 || { cat "$2.log"; return 1; }
}

extract_udfclient() { # extract_udfclient IMAGE DIR FACTS
    local vol
    vol=$(printf 'ls\nquit\n' | udfclient -b 2048 "$1" 2>/dev/null | awk '/^d/ { print $NF; exit }')
    [ -n "$vol" ] || { echo "udfclient shows no volume"; return 1; }
    python3 - "$3" "$2" <<'EOF' >"$2.cmds" || return 1
import os, sys, urllib.parse
facts, out = sys.argv[1], sys.argv[2]
for line in open(facts):
    f = line.split()
    if f[0] == "file":
        path = urllib.parse.unquote(f[1]).lstrip("/")
        os.makedirs(os.path.join(out, os.path.dirname(path)), exist_ok=True)
        print('get "%s" "%s"' % (path, path))
EOF
    { printf 'cd %s\nlcd %s\n' "$vol" "$2"; cat "$2.cmds"; printf 'quit\n'; } |
        udfclient -b 2048 "$1" >"$2.log" 2>&1 || { cat "$2.log"; return 1; }
}

# check_contents NAME IMAGE FACTS EXTRACTED-DIR: steps 3 and 4 of the list above.
check_contents() {
    python3 - "$here" "$@" <<'EOF'
import os, struct, subprocess, shutil, sys, urllib.parse
here, name, image, facts_path, xdir = sys.argv[1:6]
sys.path.insert(0, here)
import udffacts
sys.excepthook = lambda kind, value, tb: print("  %s: %s" % (kind.__name__, value))

data = open(image, "rb").read()
facts = [line.split() for line in open(facts_path)]
part_start = next(int(f[1]) for f in facts if f[0] == "partition")
files = {}            # path -> (infolen, adtype, [(type, block, length)])
for f in facts:
    if f[0] == "file":
        files[urllib.parse.unquote(f[1])] = (int(f[4]), int(f[5]), [])
for f in facts:
    if f[0] == "extent" and urllib.parse.unquote(f[1]) in files:
        files[urllib.parse.unquote(f[1])][2].append((int(f[2]), int(f[3]), int(f[4])))
erased = [(int(f[1]), int(f[2])) for f in facts if f[0] == "erased"]
free = [(int(f[1]), int(f[2])) for f in facts if f[0] == "free"]
problems = []

def sectors(first, count):
    return data[first * 2048:(first + count) * 2048]

vol = udffacts.Volume(data)
vol.load()
for path, (infolen, adtype, extents) in files.items():
    if adtype == 3:
        want = vol.file_data(vol.find(path), path)
    else:
        # Straight from the facts: partition start + block, no remapping.
        parts = []
        for etype, block, length in extents:
            raw = sectors(part_start + block, (length + 2047) // 2048)[:length]
            parts.append(raw if etype == 0 else bytes(length))
        want = b"".join(parts)[:infolen]
    if len(want) != infolen:
        problems.append("%s: the extents give %d bytes, information length %d" % (path, len(want), infolen))
    got_path = os.path.join(xdir, path.lstrip("/"))
    if not os.path.isfile(got_path):
        problems.append("%s: not extracted" % path)
    elif open(got_path, "rb").read() != want:
        problems.append("%s: extracted bytes differ from the facts' extents" % path)
extracted = set()
for root, _, names in os.walk(xdir):
    for n in names:
        extracted.add("/" + os.path.relpath(os.path.join(root, n), xdir))
if extracted - set(files):
    problems.append("extracted files the facts do not list: %s" % sorted(extracted - set(files)))

def check_vro(what, blob, tag):
    if not blob or len(blob) % 2048:
        problems.append("%s: %d bytes, not whole sectors" % (what, len(blob)))
        return
    synthetic = blob[16:16 + len(tag)] == tag
    for k in range(len(blob) // 2048):
        s = blob[k * 2048:(k + 1) * 2048]
        if s[:5] != b"\x00\x00\x01\xba\x44":
            problems.append("%s: sector %d does not start a pack" % (what, k))
            return
        label = tag + b" sector %08d" % k
        if synthetic and (struct.unpack(">I", s[8:12])[0] != k or s[16:16 + len(label)] != label):
            problems.append("%s: sector %d carries the wrong index" % (what, k))
            return
    return synthetic

ifo = files.get("/DVD_RTAV/VR_MANGR.IFO")
vro = files.get("/DVD_RTAV/VR_MOVIE.VRO")
if ifo is None or vro is None:
    problems.append("DVD_RTAV/VR_MANGR.IFO or DVD_RTAV/VR_MOVIE.VRO missing")
else:
    blob = vol.file_data(vol.find("/DVD_RTAV/VR_MANGR.IFO"), "ifo")
    if blob[:12] != b"DVD_RTR_VMG0" or len(blob) % 2048 or any(
            blob[k * 2048 + 16:k * 2048 + 35] != b"IFO sector %08d" % k for k in range(len(blob) // 2048)):
        problems.append("VR_MANGR.IFO does not hold what make-images.sh wrote")
    check_vro("VR_MOVIE.VRO", vol.file_data(vol.find("/DVD_RTAV/VR_MOVIE.VRO"), "vro"), b"MOVIE")

free_blocks = {b for first, count in free for b in range(first, first + count)}
if erased:
    if any(b not in free_blocks for first, count in erased for b in range(first, first + count)):
        problems.append("an erased run is not free in the bitmap")
    blob = b"".join(sectors(part_start + first, count) for first, count in erased)
    synthetic = check_vro("erased runs", blob, b"ERASED")
    if synthetic is False and shutil.which("ffprobe"):
        tmp = os.path.join(xdir + ".erased.vob")
        open(tmp, "wb").write(blob)
        r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames", "-of", "default=nw=1:nk=1", tmp],
                           capture_output=True, text=True)
        if r.returncode != 0 or r.stderr.strip() or not r.stdout.strip().isdigit() or int(r.stdout) == 0:
            problems.append("ffprobe does not decode the erased recording: %s %s" % (r.stdout.strip(), r.stderr.strip()))

for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
EOF
}

corrupt_root_fe() { # corrupt_root_fe IMAGE FACTS: flip one byte inside the root File Entry
    python3 - "$@" <<'EOF'
import sys
image, facts = sys.argv[1], sys.argv[2]
f = {l.split()[0]: l.split() for l in open(facts)}
sector = int(f["partition"][1]) + int(f["root_fe"][1])
with open(image, "r+b") as fh:
    fh.seek(sector * 2048 + 40)          # inside the CRC-covered part of the descriptor
    b = fh.read(1)
    fh.seek(sector * 2048 + 40)
    fh.write(bytes([b[0] ^ 0x01]))
EOF
}

shopt -s nullglob
all_facts=("$here"/*.facts)
[ ${#all_facts[@]} -gt 0 ] || { echo "check-images.sh: no facts files"; exit 1; }
for facts in "${all_facts[@]}"; do
    name=$(basename "$facts" .facts)
    img="$work/$name.img"
    if ! xz -dc "$here/$name.img.xz" >"$img"; then
        result 1 "$name: decompress"
        continue
    fi

    # 1. the facts, recomputed
    mkdir "$work/$name.bin"
    python3 "$here/udffacts.py" facts "$img" "$name" --bindir "$work/$name.bin" >"$work/$name.facts"
    status=$?
    if [ $status = 0 ]; then diff -u "$facts" "$work/$name.facts"; status=$?; fi
    for bin in $(awk '$1 == "dir" { print $7 }' "$facts"); do
        cmp "$here/$bin" "$work/$name.bin/$bin" || status=1
    done
    result $status "$name: facts and directory data recomputed"

    # 2. udfinfo
    want=$(awk '$1 == "sectors" { n = $2 } $1 == "partition" { p = $2 " " $3 } END { print n, p }' "$facts")
    got=$(udfinfo "$img" 2>&1 | sed -n -e 's/^blocks=\([0-9]*\)$/\1/p' -e 's/^start=\([0-9]*\), blocks=\([0-9]*\), type=PSPACE$/\1 \2/p' | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$want" ]
    status=$?
    [ $status = 0 ] || echo "  udfinfo: '$got', facts: '$want'"
    result $status "$name: udfinfo agrees on size and partition"

    # 3. and 4.
    xdir="$work/$name.x"
    mkdir "$xdir"
    if [[ $udfclient_only == *" $name "* ]]; then
        reader=udfclient
        extract_udfclient "$img" "$xdir" "$facts"
    else
        reader=7z
        extract_7z "$img" "$xdir"
    fi
    status=$?
    [ $status = 0 ] && { check_contents "$name" "$img" "$facts" "$xdir"; status=$?; }
    result $status "$name: $reader extracts the files the facts describe, with the contents written"

    # 5. a damaged descriptor is refused
    cp "$img" "$work/bad.img"
    corrupt_root_fe "$work/bad.img" "$facts"
    python3 "$here/udffacts.py" facts "$work/bad.img" "$name" >/dev/null 2>"$work/bad.err"
    status=$?
    grep -q "bad descriptor CRC" "$work/bad.err" && [ $status = 1 ]
    result $? "$name: a damaged root File Entry is refused"
    rm -f "$work/bad.img" "$img"
done

echo "$passed passed, $failed failed"
[ $failed = 0 ]
