#!/bin/bash
# Real pass-through stacks in one guest booted from Debian's kernel: the
# statically linked Linux programs and the 32-bit Windows programs under
# 32-bit Wine (which turns each SCSI pass-through request into one SG_IO),
# on QEMU's scsi-cd and on an MMC LUN of Debian's tgt that QEMU's iSCSI
# initiator hands to the guest, through the block and the generic node.
#
# Usage: run-vm-test.sh STATIC_BUILD_DIR WIN32_BUILD_DIR NATIVE_BUILD_DIR REFERENCE MKVRDISC
#
#   STATIC_BUILD_DIR  build folder of the "static" preset
#   WIN32_BUILD_DIR   build folder of the "win32" preset (the shipped .exe files)
#   NATIVE_BUILD_DIR  a native build folder, or the folder holding its
#                     sectorscope, which reads the tgt disc's image file
#                     through the emulated drive for the expected dumps
#   REFERENCE         dvd_rom_vrsalvage of the native build: vrsalvage on an
#                     image whose emulated drive answers as QEMU's or tgt's
#   MKVRDISC          the disc image builder
#
# The guest gets the host's /usr read-only over 9p (Wine, strace) and no
# network device; tgt listens on 127.0.0.1 only and is stopped at the end.
# It checks, byte for byte (Wine's CR LF aside), every run of cases.sh from
# both builds against the emulated drive's output or the expected reports,
# the SG_IO requests that Wine made of one traced run (timeout, direction,
# sense buffer, command blocks) against those of the Linux build, and prints
# the READ (10) command rates. The copies (--files, -r, --keep-going -r) of
# both builds must write the same files as the native build's runs on the
# images. Images of sparable and virtual partitions from the builder, and one
# with space tables, must read the same through the kernel's UDF reader as
# the builder put them in, and as vrsalvage --files copies them.
#
# VRS_VM_KEEP=1 keeps the work folder; VRS_VM_RATE_SCALE=N makes the rate
# runs N times as long.
#
# Exit status: 0 when everything matched, 1 on a mismatch or a failed run, 77
# when QEMU, tgt, Wine, a build or another tool is missing (the reason is
# printed).
#
# Run-time packages: qemu-system-x86, qemu-block-extra, tgt, wine32:i386,
# strace, busybox-static, linux-image-amd64, cpio, xz-utils, g++,
# g++-mingw-w64-i686, python3, xvfb, imagemagick, xdotool.
set -u

here=$(cd "$(dirname "$0")" && pwd)
qemu_dir=$(cd "$here/../qemu" && pwd)
source_dir=$(cd "$here/../.." && pwd)
me=run-vm-test.sh

skip() { echo "$me: SKIP: $*"; exit 77; }
fail() { echo "$me: FAIL: $*" >&2; exit 1; }

[ $# -eq 5 ] || { echo "usage: $me STATIC_BUILD_DIR WIN32_BUILD_DIR NATIVE_BUILD_DIR REFERENCE MKVRDISC" >&2; exit 1; }

started=$(date +%s.%N)
since() { echo "$(date +%s.%N) $1" | awk '{ printf "%.1f", $1 - $2 }'; }

# --- what the run needs --------------------------------------------------

static_dir=$1
win32_dir=$2
for program in sectorscope vrsalvage; do
    [ -x "$static_dir/$program/$program" ] ||
        skip "$static_dir/$program/$program is not built (cmake --preset static && cmake --build --preset static)"
    [ -f "$win32_dir/$program/$program.exe" ] ||
        skip "$win32_dir/$program/$program.exe is not built (cmake --preset win32 && cmake --build --preset win32)"
done
[ -f "$win32_dir/vrsalvagew/vrsalvagew.exe" ] || skip "$win32_dir/vrsalvagew/vrsalvagew.exe is not built"
if [ -f "$3/sectorscope" ]; then
    native_sectorscope=$3/sectorscope
else
    native_sectorscope=$3/sectorscope/sectorscope
fi
[ -x "$native_sectorscope" ] || fail "no sectorscope in $3"
reference=$(realpath "$4")
mkvrdisc=$(realpath "$5")
[ -x "$reference" ] || fail "no $reference"
[ -x "$mkvrdisc" ] || fail "no $mkvrdisc"

for tool in qemu-system-x86_64 tgtd tgtadm strace busybox cpio g++ i686-w64-mingw32-g++-posix \
    readelf timeout od dd truncate xz cmp diff awk sed python3 Xvfb import xdotool; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
find /usr/lib -path '*/qemu/block-iscsi.so' 2>/dev/null | grep -q . ||
    skip "QEMU has no iSCSI initiator (qemu-block-extra)"
if ! [ -x /usr/lib/wine/wine ] || ! [ -x /usr/lib/wine/wineserver32 ]; then
    skip "no 32-bit Wine (dpkg --add-architecture i386; apt-get install wine32:i386)"
fi
[ "$(id -u)" = 0 ] || skip "tgtd needs root"

is_static() { ! readelf -l "$1" 2>/dev/null | grep -q 'program interpreter'; }
busybox_path=$(command -v busybox)
is_static "$busybox_path" || skip "$busybox_path is not statically linked (busybox-static)"

# shellcheck source=../qemu/guest-kernel.sh
. "$qemu_dir/guest-kernel.sh"
find_guest_kernel

# --- the work folder -----------------------------------------------------

work=$(mktemp -d)
tgtd_pid=
control_port=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    # Defined once tgt is about to start; a failure before that has none.
    if declare -F stop_tgt >/dev/null; then stop_tgt; fi
    if [ -n "${VRS_VM_KEEP:-}" ]; then
        echo "$me: kept the work folder $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

root=$work/initramfs
mkdir -p "$root"/{bb,dev,proc,sys,run,tmp,root,usr,etc,test/modules,test/bin}
mv "$root/bb" "$root/test/bb"
for dir in bin lib lib32 lib64 sbin; do
    ln -s "usr/$dir" "$root/$dir"
done
# What the dynamic loader, Wine, fontconfig and ImageMagick look up in /etc,
# and fontconfig's caches, so that no Wine process scans the fonts again.
for file in passwd group ld.so.cache ld.so.conf ld.so.conf.d nsswitch.conf alternatives fonts ImageMagick-6; do
    [ -e "/etc/$file" ] && cp -r "/etc/$file" "$root/etc/"
done
if [ -d /var/cache/fontconfig ]; then
    mkdir -p "$root/var/cache" && cp -r /var/cache/fontconfig "$root/var/cache/"
fi

# shellcheck disable=SC2086  # a list of names
copy_guest_modules "$root/test/modules" $scsi_cd_modules netfs fscache 9pnet 9pnet_virtio 9p loop crc-itu-t udf

# --- the discs -----------------------------------------------------------

# QEMU's CD-ROM: a sparse 758 MB volume with the recording files, a DVD-ROM
# to QEMU (profile 0x0010 above 737280000 bytes), which refuses READ TRACK
# INFORMATION (the programs take the recorded area from READ CAPACITY). The
# blocks past the erased recording are marked used, so that -r's recovery
# files stay small enough for the guest's memory.
cd_image=$work/cd.img
printf '%s\n' "sectors 370000" "dir /DVD_RTAV" "file /DVD_RTAV/VR_MANGR.IFO" \
    "file /DVD_RTAV/VR_MOVIE.VRO size=2000s" "erased 13000 300s" "mark-used 14000 355000" |
    "$mkvrdisc" - "$cd_image" ||
    fail "cannot make the CD-ROM's disc"

# tgt's LUN: the sample disc (real recordings, an erased one, an older
# management file in free blocks).
tgt_image=$work/tgt.img
SAMPLE_STREAMS=bundled "$source_dir/tools/make-sample-image.sh" "$work/sample" "$mkvrdisc" >"$work/sample.log" 2>&1 ||
    { cat "$work/sample.log"; fail "cannot make the sample disc"; }
mv "$work/sample/sample.img" "$tgt_image"
tgt_blocks=$(($(stat -c %s "$tgt_image") / 2048))
part_start=$(udf_partition_start "$tgt_image")
[ -n "$part_start" ] || fail "no Partition Descriptor in the tgt disc"
fsd_block=$(awk '$1 == "fsd" { print $2 }' "$work/sample/sample.img.record")
[ -n "$fsd_block" ] || fail "no File Set Descriptor block in the sample disc's record"

# The kernel's reader gets the builder's disc in three forms: its blocks
# through a Sparing Table (three packets spared), through a Virtual
# Allocation Table (everything moved), and in place with its free space in
# an Unallocated Space Table, which the kernel loads as it mounts, and a
# Freed Space Table (which Linux 6.1 no longer reads). expected/NAME holds
# the files as built.
share=$work/share
mkdir -p "$share/udf" "$share/out" "$work/expected"
printf '%s\n' "sectors 12000" "partition 576" | "$mkvrdisc" - "$work/sparable-source.img" ||
    fail "cannot make the disc for the sparable partition"
printf '%s\n' "sectors 13000" "partition 272 12728" "anchors 256" "dir /DVD_RTAV" "file /DVD_RTAV/VR_MANGR.IFO" \
    "file /DVD_RTAV/VR_MOVIE.VRO size=600s" | "$mkvrdisc" - "$work/virtual-source.img" ||
    fail "cannot make the disc for the virtual partition"
printf '%s\n' "sectors 11200" "space table" "dir /DVD_RTAV" "file /DVD_RTAV/VR_MANGR.IFO" "extent 0 8752 1300s" \
    "file /DVD_RTAV/VR_MOVIE.VRO" "extent 0 10112 400s" "extent 0 10612 388s" "erased 10512 100s" "freed 10512 50" |
    "$mkvrdisc" - "$work/plain-source.img" || fail "cannot make the disc with space tables"
for kind in sparable virtual plain; do
    python3 "$here/udf_variant.py" "$kind" "$work/$kind-source.img" "$share/udf/$kind.img" "$work/expected/$kind" ||
        fail "cannot make the $kind disc"
done

# tgt reports the last sector of the LUN as the track's last recorded
# address, so the last block of the partition is the one before the end.
cat >"$root/test/params" <<EOF
FSD_BLOCK=$fsd_block
LAST_BLOCK=$((tgt_blocks - part_start - 1))
PAST_BLOCK=$((tgt_blocks - part_start))
CD_AREA=32768
TGT_AREA=$tgt_blocks
RATE_SCALE=${VRS_VM_RATE_SCALE:-1}
EOF
# shellcheck source=/dev/null  # FSD_BLOCK, LAST_BLOCK, PAST_BLOCK, ...
. "$root/test/params"

# --- the programs ----------------------------------------------------------

# sgprobe, for the rates: the project's pass-through, as a static Linux
# program and as a 32-bit Windows program.
sgprobe_sources=("$qemu_dir/sgprobe.cpp" "$source_dir/support/report.cpp" "$source_dir/support/report_sink.cpp" "$source_dir/platform/console.cpp"
    "$source_dir/support/support.cpp")
g++ -std=c++20 -O2 -static -Wall -Wextra -I"$source_dir" -I"$source_dir/support" -I"$source_dir/platform" -o "$root/test/bin/sgprobe" "${sgprobe_sources[@]}" \
    "$source_dir/platform/posix.cpp" "$source_dir/platform/image_drive.cpp" "$source_dir/support/rescue_map.cpp" ||
    fail "cannot build sgprobe"
i686-w64-mingw32-g++-posix -std=c++20 -O2 -static -Wall -Wextra -I"$source_dir" -I"$source_dir/support" -I"$source_dir/platform" -o "$root/test/bin/sgprobe.exe" \
    "${sgprobe_sources[@]}" "$source_dir/platform/windows.cpp" \
    "$source_dir/platform/image_drive.cpp" "$source_dir/support/rescue_map.cpp" ||
    fail "cannot build sgprobe.exe"
i686-w64-mingw32-g++-posix -std=c++20 -O2 -static -Wall -Wextra -o "$root/test/bin/window_drives.exe" "$here/window_drives.cpp" ||
    fail "cannot build window_drives.exe"
cp "$win32_dir/vrsalvagew/vrsalvagew.exe" "$root/test/bin/"
printf '%s\r\n' REGEDIT4 "" '[HKEY_LOCAL_MACHINE\Software\Wine\Drives]' \
    '"d:"="cdrom"' '"e:"="cdrom"' '"f:"="cdrom"' '"g:"="cdrom"' >"$root/test/drives.reg"

cp "$busybox_path" "$root/test/bb/busybox"
for applet in $("$busybox_path" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/test/bb/$applet"
done
for program in sectorscope vrsalvage; do
    cp "$static_dir/$program/$program" "$win32_dir/$program/$program.exe" "$root/test/bin/"
done
cp "$here/guest-init.sh" "$root/init"
cp "$qemu_dir/frames.sh" "$here/cases.sh" "$root/test/"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio" ||
    fail "cannot pack the initramfs"

# --- the expected transcript -------------------------------------------------

# The tgt disc's blocks as the emulated drive shows them, before tgt has
# touched the image.
# shellcheck disable=SC2153  # from the params file
for block in 0 "$FSD_BLOCK" "$LAST_BLOCK" "$PAST_BLOCK"; do
    "$native_sectorscope" "$tgt_image" "$block" >"$work/native-$block.out" 2>&1
    echo $? >"$work/native-$block.status"
done

# expected_output PROGRAM ARGUMENT...: "STATUS FILE" of the run.
expected_output() {
    local program=$1 drive reusable=0
    shift
    while [ "${1#-}" != "$1" ]; do
        [ "$1" = -r ] && reusable=1
        shift
    done
    drive=$1
    if [ "$drive" = MISSING ]; then
        echo "255 $qemu_dir/expected/cant-open-device.txt"
    elif [ "$program" = vrsalvage ] && [ "$reusable" = 1 ]; then
        # -r takes a DVD-ROM; the large volume holds no DVD_RTAV files.
        echo "0 $qemu_dir/expected/completed.txt"
    elif [ "$program" = vrsalvage ]; then
        echo "255 $qemu_dir/expected/not-dvd-rw-vr.txt"
    elif [ "${drive#CD_}" != "$drive" ]; then
        echo "255 $qemu_dir/expected/read-track-information-refused.txt"
    else
        echo "$(cat "$work/native-$2.status") $work/native-$2.out"
    fi
}

# expect_frame NAME STATUS FILE [crlf]
expect_frame() {
    printf '=== %s\n' "$1"
    if [ "${4:-}" = crlf ]; then
        sed -z 's/\n/\r\n/g' "$3"
    else
        cat "$3"
    fi
    printf '=== %s: exit %s\n' "$1" "$2"
}

# shellcheck source=cases.sh
. "$here/cases.sh"

# The copies through the emulated drive: each case's files in
# $work/reference/FOLDER, its standard output and status beside.
# reference_run CASE...
reference_run() {
    local program=$1 arguments=() folder drive image mode
    shift
    folder=$work/reference/$(copy_folder "$program" "$@")
    mkdir -p "$folder"
    while [ $# -gt 1 ]; do
        arguments+=("$1")
        shift
    done
    drive=$1
    case $drive in
    CD_*) image=$cd_image mode=qemu ;;
    *) image=$tgt_image mode=tgt ;;
    esac
    (cd "$folder" && "$reference" "$mode" "${arguments[@]}" "$image" </dev/null >"$folder.out" 2>"$folder.err"
        echo $? >"$folder.status")
}
while read -r line; do
    # shellcheck disable=SC2086  # a case is a list of words
    reference_run $line
    # shellcheck disable=SC2086
    folder=$work/reference/$(copy_folder $line)
    [ -s "$folder.err" ] && fail "the native run \"$line\" wrote to standard error: $(cat "$folder.err")"
done < <(vm_copy_cases)

# The progress lines of a rescue hold rates and times: left out on both sides.
without_progress() {
    sed -E 's/\r[a-z ]+: [0-9]+\/[0-9]+ sectors, [0-9]+ bad, [0-9]+ [kM]B lost, [0-9.]+ MB\/s, [^\r\n]* left   //g' "$@"
}

{
    vm_cases | while read -r line; do
        # shellcheck disable=SC2086  # a case is a list of words
        read -r status file <<<"$(expected_output $line)"
        expect_frame "linux $line" "$status" "$file"
        expect_frame "wine $line" "$status" "$file" crlf
    done
    vm_copy_cases | while read -r line; do
        # shellcheck disable=SC2086
        folder=$work/reference/$(copy_folder $line)
        without_progress "$folder.out" >"$folder.expected"
        expect_frame "linux $line" "$(cat "$folder.status")" "$folder.expected"
        expect_frame "wine $line" "$(cat "$folder.status")" "$folder.expected" crlf
    done
    expect_frame "strace wine sectorscope TGT_SR 0" 0 "$work/native-0.out" crlf
    expect_frame "strace linux sectorscope TGT_SR 0" 0 "$work/native-0.out"
    echo "=== end of transcript"
} >"$work/expected.txt"

# --- tgt -------------------------------------------------------------------

tgt() { tgtadm -C "$control_port" "$@"; }
# shellcheck disable=SC2317  # called by cleanup
stop_tgt() {
    [ -n "$tgtd_pid" ] || return 0
    # tgtd ignores SIGTERM: the target goes first, then the daemon.
    tgt --lld iscsi --mode target --op delete --force --tid 1 >/dev/null 2>&1
    tgt --mode system --op delete >/dev/null 2>&1
    for _ in $(seq 50); do
        kill -0 "$tgtd_pid" 2>/dev/null || break
        sleep 0.1
    done
    # Still there: timeout sends SIGTERM on, and SIGKILL a second later.
    kill "$tgtd_pid" 2>/dev/null
    wait "$tgtd_pid" 2>/dev/null
    tgtd_pid=
}

# A portal and a control port of our own, so that runs side by side do not
# meet; tgtd ends by itself after 15 minutes should nobody stop it.
iqn=iqn.2024-01.test.vrsalvage:vm
for _ in 1 2 3 4 5; do
    tgt_port=$((20000 + RANDOM % 30000))
    control_port=$((1000 + RANDOM % 30000))
    timeout -k 1 900 tgtd -f -C "$control_port" --iscsi "portal=127.0.0.1:$tgt_port" \
        </dev/null >"$work/tgtd.log" 2>&1 &
    tgtd_pid=$!
    for _ in $(seq 50); do
        tgt --mode system --op show >/dev/null 2>&1 && break
        kill -0 "$tgtd_pid" 2>/dev/null || break
        sleep 0.1
    done
    # Ours answers, and listens on our portal (a daemon that found its ports
    # taken has ended).
    if tgt --mode system --op show >/dev/null 2>&1 && (: <"/dev/tcp/127.0.0.1/$tgt_port") 2>/dev/null &&
        kill -0 "$tgtd_pid" 2>/dev/null; then
        break
    fi
    stop_tgt
done
[ -n "$tgtd_pid" ] || { cat "$work/tgtd.log"; skip "tgtd did not start"; }
if ! tgt --lld iscsi --mode target --op new --tid 1 --targetname "$iqn" ||
    ! tgt --lld iscsi --mode logicalunit --op new --tid 1 --lun 1 --backing-store "$tgt_image" --device-type cd ||
    ! tgt --lld iscsi --mode target --op bind --tid 1 --initiator-address 127.0.0.1; then
    fail "cannot set up the tgt target"
fi

# --- the guest -----------------------------------------------------------

for port in console transcript strace rates; do
    : >"$work/$port.txt"
done
accel="-accel ${VRS_QEMU_ACCEL:-tcg}"
booted=$(date +%s.%N)
# -cpu max,-smap: under TCG with SMAP, every 32-bit Wine process faults on
# its return to user mode.
# shellcheck disable=SC2086
timeout 480 qemu-system-x86_64 $accel -cpu max,-smap -m 1536 -smp 1 -nodefaults -nic none -no-reboot \
    -display none -monitor none \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" -append "console=ttyS0 panic=-1 quiet" \
    -serial "file:$work/console.txt" -serial "file:$work/transcript.txt" \
    -serial "file:$work/strace.txt" -serial "file:$work/rates.txt" \
    -virtfs local,path=/usr,mount_tag=hostusr,security_model=none,readonly=on \
    -virtfs "local,path=$share,mount_tag=share,security_model=none" \
    -device virtio-scsi-pci,id=scsi0 \
    -drive "if=none,id=cd,file=$cd_image,format=raw,media=cdrom,readonly=on" \
    -device scsi-cd,bus=scsi0.0,scsi-id=0,lun=0,drive=cd \
    -drive "driver=iscsi,transport=tcp,portal=127.0.0.1:$tgt_port,target=$iqn,lun=1,if=none,id=tgt" \
    -device scsi-generic,bus=scsi0.0,scsi-id=1,lun=0,drive=tgt \
    </dev/null >"$work/qemu.log" 2>&1
qemu_status=$?
guest_seconds=$(since "$booted")
stop_tgt

show_guest() {
    echo "--- QEMU's messages:"
    cat "$work/qemu.log"
    echo "--- the guest's console:"
    cat "$work/console.txt"
}
if [ "$qemu_status" -ne 0 ]; then
    show_guest
    [ "$qemu_status" -eq 124 ] && fail "the guest did not power off within 480 s"
    # Nothing from the guest: QEMU itself did not start (an option it does
    # not know, an initiator that did not log in).
    [ -s "$work/console.txt" ] || skip "QEMU did not start: $(tail -n 1 "$work/qemu.log")"
    fail "qemu-system-x86_64 ended with status $qemu_status"
fi
if ! tail -n 1 "$work/transcript.txt" | cmp -s - <(echo "=== end of transcript"); then
    show_guest
    echo "--- the transcript:"
    cat "$work/transcript.txt"
    fail "the transcript is incomplete"
fi

reason=$(sed -n 's/^=== guest: SKIP: //p' "$work/transcript.txt" | head -n 1)
if [ -n "$reason" ]; then
    show_guest
    cat "$work/transcript.txt"
    skip "$reason"
fi

# --- the verdict -----------------------------------------------------------

result=0
without_progress "$work/transcript.txt" >"$work/transcript-compared.txt"
if ! cmp -s "$work/expected.txt" "$work/transcript-compared.txt"; then
    echo "$me: the guest's transcript differs from what was expected (cat -A: ^M is CR):"
    diff -u --label expected --label guest <(cat -A "$work/expected.txt") <(cat -A "$work/transcript-compared.txt")
    show_guest
    result=1
fi

# mapfile_blocks_match REFERENCE OUT: each *.map of both folders holds the same blocks.
mapfile_blocks_match() {
    local map name
    for map in "$1"/*.map "$2"/*.map; do
        [ -e "$map" ] || continue
        name=$(basename "$map")
        cmp <(grep -v '^#' "$1/$name" | tail -n +2) <(grep -v '^#' "$2/$name" | tail -n +2) || return 1
    done
}

# Every file that each copy wrote, byte for byte, and no other.
copies=0
while read -r line; do
    # shellcheck disable=SC2086
    folder=$(copy_folder $line)
    for side in linux wine; do
        # A mapfile's blocks; its status line holds the position of the last read, which
        # follows the adapter's transfer limit.
        if ! diff -r -x '*.map' "$work/reference/$folder" "$share/out/$side-$folder" >"$work/diff.txt" 2>&1 ||
            ! mapfile_blocks_match "$work/reference/$folder" "$share/out/$side-$folder" >>"$work/diff.txt" 2>&1; then
            echo "$me: the files of \"$side $line\" differ from those of the native run:"
            cat "$work/diff.txt"
            result=1
        fi
        copies=$((copies + $(find "$share/out/$side-$folder" -type f | wc -l)))
    done
done < <(vm_copy_cases)

# What the kernel's UDF reader read is what the builder put in, and what
# vrsalvage --files copies.
for kind in sparable virtual plain; do
    mkdir -p "$work/files-$kind"
    (cd "$work/files-$kind" && "$reference" tgt --files "$share/udf/$kind.img" >/dev/null 2>&1) ||
        { echo "$me: vrsalvage --files failed on the $kind disc"; result=1; }
    for reader in "$share/out/kernel-$kind" "$work/files-$kind"; do
        if ! diff -r "$work/expected/$kind" "$reader" >"$work/diff.txt" 2>&1; then
            echo "$me: what $reader holds differs from the $kind disc's files as built:"
            cat "$work/diff.txt" "$share/out/kernel-$kind.log"
            result=1
        fi
    done
done

# The window's drive list: each drive with the vendor and model that the
# kernel has from it, and the medium it reports.
if ! cmp -s <(sed 's/$/  (DVD-ROM)/' "$share/out/window-sysfs.txt") <(tr -d '\r' <"$share/out/window-drives.txt"); then
    echo "$me: the window's drive list is not that of the guest's drives:"
    diff -u --label "the guest's drives" --label "the window's list" <(sed 's/$/  (DVD-ROM)/' "$share/out/window-sysfs.txt") \
        <(tr -d '\r' <"$share/out/window-drives.txt")
    result=1
fi
# Its salvage of F: wrote what the console program's --recordings run on the
# same drive wrote, and ended the same, with status 0: the sample disc is read
# whole and its recordings cut cleanly through the file system, the drive
# reporting it as DVD-ROM; the times and rates aside (the rate log, the
# reports' time of reading and rate graph).
window_status=$(tr '\n' ' ' <"$share/out/window-status.txt" 2>/dev/null)
report_html() { grep -v -e '<dt>Read</dt>' -e 'MB/s' -e 'class="line"' "$1/report.html"; }
same_salvage() {
    local console=$share/out/window-console window=$share/out/window-run
    [ "$(awk '{ print $2 }' "$share/out/window-status.txt" | sort -u)" = 0 ] || return 1
    diff -r -x 'report.*' -x rates.txt "$console" "$window" || return 1
    if [ -e "$console/report.json" ] || [ -e "$window/report.json" ]; then
        cmp <(python3 "$source_dir/tests/wine/report_content.py" "$console/report.json") \
            <(python3 "$source_dir/tests/wine/report_content.py" "$window/report.json") || return 1
        cmp <(report_html "$console") <(report_html "$window") || return 1
    fi
}
if ! same_salvage >"$work/diff.txt" 2>&1; then
    echo "$me: the window's salvage differs from the console program's ($window_status):"
    cat "$work/diff.txt"
    result=1
fi

# sg_requests LABEL: one line per SG_IO request of that traced run,
# "direction cmd_len cdb dxfer_len timeout mx_sb_len".
sg_requests() {
    awk -v label="=== $1" '
        /^=== / { inside = ($0 == label); next }
        inside && /SG_IO/ {
            line = ""
            n = split("dxfer_direction cmd_len cmdp dxfer_len timeout mx_sb_len", names, " ")
            for (i = 1; i <= n; i++) {
                value = "?"
                if (match($0, names[i] "=[^,}]*")) {
                    value = substr($0, RSTART + length(names[i]) + 1, RLENGTH - length(names[i]) - 1)
                }
                line = line (i > 1 ? " " : "") value
            }
            print line
        }' "$work/strace.txt"
}
sg_requests "wine sectorscope TGT_SR 0" >"$work/sg-wine.txt"
sg_requests "linux sectorscope TGT_SR 0" >"$work/sg-linux.txt"
# Each request: 30 s as 30000 ms, and the 32-byte sense buffer; the same
# directions, command blocks and lengths as the Linux build's.
bad_requests=$(awk '$5 != 30000 || $6 != 32' "$work/sg-wine.txt")
if [ ! -s "$work/sg-wine.txt" ] || [ -n "$bad_requests" ] ||
    ! grep -q '^SG_DXFER_FROM_DEV 12 "\\x28' "$work/sg-wine.txt" ||
    ! cmp -s "$work/sg-linux.txt" "$work/sg-wine.txt"; then
    echo "$me: Wine's SG_IO requests differ from the Linux build's (direction cmd_len cdb dxfer_len timeout mx_sb_len)" \
        "or lack a READ (10), a 30000 ms timeout or a 32-byte sense buffer:"
    diff -u --label linux --label wine "$work/sg-linux.txt" "$work/sg-wine.txt"
    echo "--- what strace saw:"
    cat "$work/strace.txt"
    result=1
fi

# The current profile: bytes 6 and 7 of the GET CONFIGURATION reply.
profile=$(awk '/^=== linux/ { inside = 1 } inside && /cmdp="\\x46/ {
        if (match($0, /dxferp="[^"]*"/)) { split(substr($0, RSTART + 8, RLENGTH - 9), b, "\\\\x"); print "0x" b[8] b[9]; exit } }' \
    "$work/strace.txt")

echo "$me: the guest's milestones (seconds since its kernel started):"
grep '^guest: ' "$work/console.txt" | sed 's/^/  /'
artifacts=${VRS_ARTIFACT_DIR:-$static_dir/artifacts}/vm
mkdir -p "$artifacts" && cp "$share/out"/window-*.png "$artifacts/" 2>/dev/null
echo "$me: the window ($window_status), screenshots in $artifacts"
echo "$me: READ (10) rates under TCG (linux: SG_IO; wine: the .exe's pass-through through Wine):"
sed 's/^/  /' "$work/rates.txt"
rate_lines=$(grep -c 'commands/s' "$work/rates.txt")
if [ "$rate_lines" -ne $(($(vm_rates | wc -l) * 4)) ]; then
    echo "$me: a rate run failed"
    result=1
fi

echo "$me: kernel $kernel_version, $(grep -c '^=== .*: exit ' "$work/transcript.txt") guest runs, $copies files copied," \
    "$(wc -l <"$work/sg-wine.txt") SG_IO requests from Wine checked, tgt profile ${profile:-unknown}," \
    "guest $guest_seconds s, total $(since "$started") s"
[ "$result" -eq 0 ] && echo "$me: PASS"
exit "$result"
