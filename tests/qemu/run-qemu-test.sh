#!/bin/bash
# The Linux SG_IO backend against a drive we did not write: QEMU's scsi-cd on
# a virtio-scsi controller, in a guest booted from Debian's kernel with a
# busybox initramfs.
#
# Usage: run-qemu-test.sh STATIC_BUILD_DIR [NATIVE_BUILD_DIR]
#
#   STATIC_BUILD_DIR  build folder of the "static" preset (sectorscope/sectorscope
#                     and vrsalvage/vrsalvage, statically linked)
#   NATIVE_BUILD_DIR  a native build folder, or the folder holding its
#                     sectorscope; its sectorscope reads the disc image through
#                     the emulated drive. Default: the static build's.
#
# VRS_QEMU_KEEP=1 keeps the work folder (images, initramfs, transcripts).
#
# Exit status: 0 when the guest's transcript matches, 1 on a mismatch or a
# failed run, 77 when a tool, the kernel or the static build is missing.
#
# Run-time packages: qemu-system-x86, busybox-static, linux-image-amd64,
# udftools, cpio, g++ (with the static C and C++ libraries).
set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
me=run-qemu-test.sh

skip() { echo "$me: SKIP: $*"; exit 77; }
fail() { echo "$me: FAIL: $*" >&2; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $me STATIC_BUILD_DIR [NATIVE_BUILD_DIR]" >&2; exit 1; }

started=$(date +%s.%N)
elapsed() { echo "$(date +%s.%N) $started" | awk '{ printf "%.1f", $1 - $2 }'; }

# --- what the run needs --------------------------------------------------

static_dir=$1
[ -d "$static_dir" ] || skip "no static build at $static_dir (cmake --preset static && cmake --build --preset static)"
static_sectorscope=$static_dir/sectorscope/sectorscope
static_vrsalvage=$static_dir/vrsalvage/vrsalvage
for program in "$static_sectorscope" "$static_vrsalvage"; do
    [ -x "$program" ] || skip "$program is not built (cmake --build --preset static)"
done

native_dir=${2:-$static_dir}
if [ -f "$native_dir/sectorscope" ]; then
    native_sectorscope=$native_dir/sectorscope
else
    native_sectorscope=$native_dir/sectorscope/sectorscope
fi
[ -x "$native_sectorscope" ] || fail "no sectorscope in $native_dir"

for tool in qemu-system-x86_64 mkudffs busybox cpio g++ readelf timeout od dd truncate cmp diff awk; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# Statically linked: no program interpreter.
is_static() { ! readelf -l "$1" 2>/dev/null | grep -q 'program interpreter'; }
busybox_path=$(command -v busybox)
is_static "$busybox_path" || skip "$busybox_path is not statically linked (busybox-static)"
for program in "$static_sectorscope" "$static_vrsalvage"; do
    is_static "$program" || fail "$program is not statically linked"
done

# shellcheck source=guest-kernel.sh
. "$here/guest-kernel.sh"
find_guest_kernel

# --- the work folder -----------------------------------------------------

work=$(mktemp -d)
if [ -n "${VRS_QEMU_KEEP:-}" ]; then
    echo "$me: keeping the work folder $work"
else
    trap 'rm -rf "$work"' EXIT
fi
root=$work/initramfs
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/run" "$root/test/modules"
# shellcheck disable=SC2034  # used by frames.sh
FRAME_TMP=$work
# shellcheck source=frames.sh
. "$here/frames.sh"

# shellcheck disable=SC2086  # a list of names
copy_guest_modules "$root/test/modules" $scsi_cd_modules

# --- the discs -----------------------------------------------------------

# The large disc: a sparse 1.2 GB UDF volume, which QEMU reports as a DVD-ROM
# (profile 0x0010; up to 737280000 bytes it says CD-ROM). A run of random
# sectors beyond 1 GiB lets a multi-sector read be checked byte for byte.
BLOCKS=600000
PATTERN_LBA=540000
PATTERN_SECTORS=16
big=$work/big.img
truncate -s $((BLOCKS * 2048)) "$big" || fail "cannot make $big"
mkudffs --media-type=dvdram --udfrev=0x0102 -b 2048 --label=SGIOTEST "$big" "$BLOCKS" >"$work/mkudffs.log" 2>&1 ||
    { cat "$work/mkudffs.log"; fail "mkudffs failed on the large disc"; }
head -c $((PATTERN_SECTORS * 2048)) /dev/urandom >"$work/pattern" &&
    dd if="$work/pattern" of="$big" bs=2048 seek="$PATTERN_LBA" conv=notrunc status=none ||
    fail "cannot write the pattern sectors"

# The small disc: 64 MiB, a CD-ROM to QEMU.
small=$work/small.img
truncate -s $((32768 * 2048)) "$small" || fail "cannot make $small"
mkudffs --media-type=dvdram --udfrev=0x0102 -b 2048 "$small" 32768 >"$work/mkudffs.log" 2>&1 ||
    { cat "$work/mkudffs.log"; fail "mkudffs failed on the small disc"; }

PART_START=$(udf_partition_start "$big")
[ -n "$PART_START" ] || fail "no Partition Descriptor in the large disc"

cat >"$root/test/params" <<EOF
BLOCKS=$BLOCKS
PATTERN_LBA=$PATTERN_LBA
PATTERN_SECTORS=$PATTERN_SECTORS
PART_START=$PART_START
EOF

# --- the programs ----------------------------------------------------------

# sgprobe: READ (10) through the project's platform layer, linked statically
# so that the same file runs in the guest and here.
probe=$work/sgprobe
g++ -std=c++20 -O2 -static -Wall -Wextra -I"$source_dir" -I"$source_dir/support" -I"$source_dir/platform" -o "$probe" "$here/sgprobe.cpp" \
    "$source_dir/platform/posix.cpp" "$source_dir/platform/image_drive.cpp" "$source_dir/support/rescue_map.cpp" \
    "$source_dir/support/report.cpp" "$source_dir/support/report_sink.cpp" "$source_dir/platform/console.cpp" \
    "$source_dir/support/support.cpp" ||
    fail "cannot build sgprobe"

cp "$busybox_path" "$root/bin/busybox"
for applet in $("$busybox_path" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$static_sectorscope" "$static_vrsalvage" "$probe" "$root/bin/"
cp "$here/guest-init.sh" "$root/init"
cp "$here/frames.sh" "$root/test/frames.sh"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio" ||
    fail "cannot pack the initramfs"

# --- the guest -----------------------------------------------------------

# Software emulation unless VRS_QEMU_ACCEL says otherwise (e.g. kvm): a
# /dev/kvm that opens is no promise that KVM runs a guest (nested hosts).
accel="-accel ${VRS_QEMU_ACCEL:-tcg}"
: >"$work/console.log"
: >"$work/transcript.txt"
booted=$(date +%s.%N)
# shellcheck disable=SC2086
timeout 120 qemu-system-x86_64 $accel -m 512 -smp 1 -nodefaults -no-reboot -display none -monitor none \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" -append "console=ttyS0 panic=-1 quiet" \
    -serial "file:$work/console.log" -serial "file:$work/transcript.txt" \
    -device virtio-scsi-pci,id=scsi0 \
    -drive "if=none,id=big,file=$big,format=raw,media=cdrom,readonly=on" \
    -device scsi-cd,bus=scsi0.0,scsi-id=0,lun=0,drive=big \
    -drive "if=none,id=small,file=$small,format=raw,media=cdrom,readonly=on" \
    -device scsi-cd,bus=scsi0.0,scsi-id=1,lun=0,drive=small \
    </dev/null >"$work/qemu.log" 2>&1
qemu_status=$?
guest_seconds=$(echo "$(date +%s.%N) $booted" | awk '{ printf "%.1f", $1 - $2 }')

show_guest() {
    echo "--- QEMU's messages:"
    cat "$work/qemu.log"
    echo "--- the guest's console:"
    cat "$work/console.log"
}
if [ "$qemu_status" -ne 0 ]; then
    show_guest
    [ "$qemu_status" -eq 124 ] && fail "the guest did not power off within 120 s"
    fail "qemu-system-x86_64 ended with status $qemu_status"
fi
if ! tail -n 1 "$work/transcript.txt" | cmp -s - <(echo "=== end of transcript"); then
    show_guest
    echo "--- the transcript:"
    cat "$work/transcript.txt"
    fail "the transcript is incomplete"
fi

# --- what should have come back --------------------------------------------

# expect_frame NAME STATUS FILE: a frame with FILE as standard output.
expect_frame() {
    printf '=== %s\n' "$1"
    cat "$3"
    printf '=== %s: exit %s\n' "$1" "$2"
}

# The frames of probe_frames, from the image itself: dd and od, none of our code.
expect_probe_frames() {
    "$2" | while read -r lba count length; do
        {
            printf 'READ (10) lba=%s count=%s length=%s: ' "$lba" "$count" "$length"
            if [ $((lba + count)) -gt "$BLOCKS" ]; then
                # LOGICAL BLOCK ADDRESS OUT OF RANGE, fixed-format sense data
                echo "status=0x02 sense=18 key=0x05 asc=0x21 ascq=0x00"
            else
                echo "status=0x00 transferred=$((count * 2048)) sense=0"
                dd if="$big" bs=2048 skip="$lba" count="$count" status=none | od -An -v -tx1
            fi
        } >"$work/expected.out"
        expect_frame "sgprobe $1 read $lba $count $length" 0 "$work/expected.out"
    done
}

# The block that sectorscope shows through the emulated drive is the block
# that sgprobe read through SG_IO.
"$native_sectorscope" "$big" 0 >"$work/native.out" 2>&1
native_status=$?
[ "$native_status" -eq 0 ] || { cat "$work/native.out"; fail "sectorscope on the image file ended with status $native_status"; }

expected=$here/expected
{
    expect_frame "sectorscope BIG_SR 0" 255 "$expected/read-track-information-refused.txt"
    expect_frame "sectorscope BIG_SG 0" 255 "$expected/read-track-information-refused.txt"
    expect_frame "vrsalvage BIG_SR" 255 "$expected/not-dvd-rw-vr.txt"
    # -r takes a DVD-ROM; the volume holds no DVD_RTAV files, so it writes none.
    expect_frame "vrsalvage -r BIG_SR" 0 "$expected/completed.txt"
    expect_frame "sectorscope SMALL_SR 0" 255 "$expected/not-dvd.txt"
    expect_frame "sectorscope /dev/nonexistent 0" 255 "$expected/cant-open-device.txt"
    expect_probe_frames BIG_SR probe_cases_block
    expect_probe_frames BIG_SG probe_cases_generic
    echo "pass-through failed: error 5" >"$work/expected.out"  # EIO
    expect_frame "sgprobe BIG_SR read 16 2 2048" 1 "$work/expected.out"
    expect_frame "partition block 0 of BIG_SR" 0 "$work/native.out"
    echo "=== end of transcript"
} >"$work/expected.txt"

# The same probes through the emulated drive, on the image file.
{
    probe_frames "$probe" "$big" IMAGE probe_cases_block
    probe_frames "$probe" "$big" IMAGE probe_cases_generic
} >"$work/host.txt"
{
    expect_probe_frames IMAGE probe_cases_block
    expect_probe_frames IMAGE probe_cases_generic
} >"$work/host-expected.txt"

# --- the verdict -----------------------------------------------------------

result=0
if ! cmp -s "$work/expected.txt" "$work/transcript.txt"; then
    if grep -q $'\r' "$work/transcript.txt"; then
        echo "$me: the transcript holds carriage returns: the serial line was not raw"
    fi
    echo "$me: the guest's transcript differs from what was expected:"
    diff -u --label expected --label guest "$work/expected.txt" "$work/transcript.txt"
    show_guest
    result=1
fi
if ! cmp -s "$work/host-expected.txt" "$work/host.txt"; then
    echo "$me: the emulated drive's answers differ from the image:"
    diff -u --label expected --label emulated "$work/host-expected.txt" "$work/host.txt"
    result=1
fi

echo "$me: kernel $kernel_version, $(grep -c '^=== .*: exit ' "$work/transcript.txt") guest runs," \
    "guest ${guest_seconds} s, total $(elapsed) s"
[ "$result" -eq 0 ] && echo "$me: PASS"
exit "$result"
