#!/test/bb/sh
# The VM test guest's /init. The root is the initramfs; the host's /usr comes
# read-only over 9p, with bin, lib, lib32, lib64 and sbin linking into it,
# which brings 32-bit Wine and strace. Runs every case of cases.sh with the
# static Linux programs and with the 32-bit .exe files under Wine, then the
# traced runs and the rate runs, and powers off. The copies run each in a new
# tmpfs folder, whose files go to the host's results folder, shared over 9p
# (/share/out). Before all that, the Linux kernel's own UDF reader mounts each
# image of /share/udf and copies what it reads of DVD_RTAV to /share/out.
#
# Serial ports: ttyS0 the console, ttyS1 the transcript, ttyS2 the SG_IO
# requests that strace saw, ttyS3 the rates.
#
# /test/params        the disc facts (FSD_BLOCK, LAST_BLOCK, PAST_BLOCK), the
#                     areas of the rate runs (CD_AREA, TGT_AREA) and RATE_SCALE
# /test/modules.list  the kernel modules to insert, in order
# /test/bin           sectorscope, vrsalvage, sgprobe and their .exe files,
#                     vrsalvagew.exe and window_drives.exe
# /test/drives.reg    D: to G: as CD-ROM drives for Wine
# shellcheck disable=SC2123  # busybox's applets until the host's /usr is there
PATH=/test/bb
export PATH

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for dir in /run /tmp /root; do
    mount -t tmpfs tmpfs "$dir"
done
exec </dev/console >/dev/console 2>&1

# shellcheck source=/dev/null
. /test/params
# shellcheck source=../qemu/frames.sh
. /test/frames.sh
# shellcheck source=cases.sh
. /test/cases.sh
# shellcheck disable=SC2034  # used by frames.sh
FRAME_TMP=/run

while read -r module; do
    insmod "/test/modules/$module.ko" || echo "guest: insmod $module failed"
done </test/modules.list
# Read-only, so the guest may keep what it read (cache=loose): every Wine
# process maps the same libraries.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostusr /usr ||
    echo "guest: cannot mount the host's /usr"
mkdir -p /share
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /share ||
    echo "guest: cannot mount the results folder"
PATH=/test/bb:/usr/bin:/usr/sbin
export HOME=/root USER=root
# File names in UTF-8, as on the host: Wine maps Windows names to Unix ones by the locale.
export LANG=C.UTF-8
export WINEARCH=win32 WINEPREFIX=/root/wine WINEDEBUG=-all
# No Mono or Gecko installer and no menu entries in a prefix made for tests.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver32

elapsed() { cut -d ' ' -f 1 /proc/uptime; }

# The drive a label names: a node for the Linux programs, a letter for Wine.
linux_drive() {
    case $1 in
    CD_SR) echo "$CD_SR" ;; CD_SG) echo "$CD_SG" ;;
    TGT_SR) echo "$TGT_SR" ;; TGT_SG) echo "$TGT_SG" ;;
    MISSING) echo /dev/nonexistent ;;
    *) echo "$1" ;;
    esac
}
wine_drive() {
    case $1 in
    CD_SR) echo D ;; CD_SG) echo E ;; TGT_SR) echo F ;; TGT_SG) echo G ;;
    MISSING) echo Q ;;
    *) echo "$1" ;;
    esac
}

# run_case SIDE PROGRAM ARGUMENT...: one frame, "SIDE PROGRAM ARGUMENT...".
run_case() {
    side=$1
    program=$2
    shift 2
    name="$side $program $*"
    set -- "$@" --
    while [ "$1" != -- ]; do
        set -- "$@" "$("${side}_drive" "$1")"
        shift
    done
    shift
    if [ "$side" = wine ]; then
        frame "$name" "$wine" "/test/bin/$program.exe" "$@"
    else
        frame "$name" "/test/bin/$program" "$@"
    fi
}

setup() {
    if ! nodes=$(find_nodes 0); then
        echo "=== guest: QEMU's CD-ROM (target 0) did not appear"
        return 1
    fi
    CD_SR=${nodes% *}
    CD_SG=${nodes#* }
    if ! nodes=$(find_nodes 1); then
        echo "=== guest: the tgt LUN (target 1) did not appear"
        return 1
    fi
    TGT_SR=${nodes% *}
    TGT_SG=${nodes#* }
    echo "guest: CD-ROM $CD_SR $CD_SG, tgt $TGT_SR $TGT_SG at $(elapsed) s" >/dev/console

    mkdir -p "$WINEPREFIX"
    if ! [ -x "$wine" ] || ! "$wineserver" -p >/dev/console 2>&1; then
        echo "=== guest: SKIP: 32-bit Wine does not start in the guest"
        return 1
    fi
    "$wine" wineboot -i </dev/null >/run/wineboot.log 2>&1
    if ! [ -d "$WINEPREFIX/dosdevices" ]; then
        echo "=== guest: SKIP: wineboot made no Wine prefix in the guest:"
        cat /run/wineboot.log
        return 1
    fi
    echo "guest: Wine prefix made at $(elapsed) s" >/dev/console
    # "d::" is the device that \\.\D: opens.
    rm -f "$WINEPREFIX"/dosdevices/[d-gq]:*
    ln -s "$CD_SR" "$WINEPREFIX/dosdevices/d::"
    ln -s "$CD_SG" "$WINEPREFIX/dosdevices/e::"
    ln -s "$TGT_SR" "$WINEPREFIX/dosdevices/f::"
    ln -s "$TGT_SG" "$WINEPREFIX/dosdevices/g::"
    # D: to G: are CD-ROM drives for the window's drive list: a folder each,
    # and their type in the registry, which Wine reads when it starts.
    for letter in d e f g; do
        mkdir -p "/run/drive-$letter"
        ln -s "/run/drive-$letter" "$WINEPREFIX/dosdevices/$letter:"
    done
    "$wine" reg import /test/drives.reg </dev/null >/run/reg.log 2>&1 ||
        echo "guest: the drive types were not imported: $(cat /run/reg.log)" >/dev/console
    "$wineserver" -k
    "$wineserver" -w
    "$wineserver" -p
}

# copy_case SIDE PROGRAM ARGUMENT...: run_case in a new empty folder, whose
# files then go to /share/out/SIDE-FOLDER.
copy_case() {
    mkdir -p /run/case && mount -t tmpfs tmpfs /run/case && cd /run/case || return
    run_case "$@"
    side=$1
    shift
    out=/share/out/$side-$(copy_folder "$@")
    mkdir -p "$out" && cp -a . "$out/"
    cd /run && umount /run/case
}

# The kernel's UDF reader (udf.ko) on each image of /share/udf: what it reads
# of DVD_RTAV goes to /share/out/kernel-NAME, what it said to NAME.log there.
kernel_reads() {
    mkdir -p /run/udf
    for image in /share/udf/*.img; do
        [ -e "$image" ] || continue
        name=$(basename "$image" .img)
        out=/share/out/kernel-$name
        mkdir -p "$out"
        if mount -t udf -o ro,loop,bs=2048 "$image" /run/udf 2>"$out.log"; then
            cp -a /run/udf/DVD_RTAV/. "$out/" 2>>"$out.log"
            umount /run/udf
        fi
        dmesg | grep -i udf >>"$out.log"
        dmesg -c >/dev/null
    done
}

# The window (vrsalvagew.exe) on a virtual screen (the host's Xvfb): its
# drive list as another program reads it (window-drives.txt) and as the
# screen shows it (window-drives.png), the drives' vendor and model as the
# kernel has them (window-sysfs.txt); then one salvage of the tgt disc (F:)
# with --start --exit-when-done into /share/out/window-run, and the console
# program's --recordings run on the same drive into /share/out/window-console.
# Their exit statuses go to window-status.txt.
window_runs() {
    Xvfb :7 -screen 0 1280x900x24 -nolisten tcp >/run/xvfb.log 2>&1 &
    xvfb=$!
    tries=0
    while ! [ -e /tmp/.X11-unix/X7 ] && [ "$tries" -lt 300 ]; do
        usleep 100000
        tries=$((tries + 1))
    done
    export DISPLAY=:7
    for label in CD_SR CD_SG TGT_SR TGT_SG; do
        node=$(linux_drive "$label")
        device=/sys/class/block/${node#/dev/}/device
        [ -d "$device" ] || device=/sys/class/scsi_generic/${node#/dev/}/device
        echo "$(wine_drive "$label"):  $(sed 's/ *$//' "$device/vendor") $(sed 's/ *$//' "$device/model")"
    done >/share/out/window-sysfs.txt
    "$wine" /test/bin/vrsalvagew.exe </dev/null >/run/window.log 2>&1 &
    window=$!
    "$wine" /test/bin/window_drives.exe </dev/null >/share/out/window-drives.txt 2>&1
    sleep 2
    import -window root /share/out/window-drives.png
    kill "$window"
    wait "$window"
    echo "guest: the window's drive list read at $(elapsed) s" >/dev/console

    mkdir -p /run/case && mount -t tmpfs tmpfs /run/case && cd /run/case || return
    timeout 300 "$wine" /test/bin/vrsalvagew.exe F: --output=window-run --start --exit-when-done \
        </dev/null >/run/window.log 2>&1 &
    window=$!
    # At once: a run that fails closes the window right after.
    timeout 60 xdotool search --sync --name vrsalvage >/dev/null 2>&1
    import -window root /share/out/window-run.png
    wait "$window"
    echo "window $?" >/share/out/window-status.txt
    "$wine" /test/bin/vrsalvage.exe --recordings=window-console F </dev/null >/run/console.log 2>&1
    echo "console $?" >>/share/out/window-status.txt
    cp -a window-run window-console /share/out/
    cd /run && umount /run/case
    kill "$xvfb"
    echo "guest: the window's salvage done at $(elapsed) s" >/dev/console
}

# The SG_IO requests of one traced run, to ttyS2.
traced() {
    label=$1
    shift
    frame "strace $label" strace -f -qq -v -xx -s 16 -e trace=ioctl -e signal=none -o /run/strace.txt "$@"
    {
        echo "=== $label"
        grep 'SG_IO' /run/strace.txt
    } >/dev/ttyS2
}

transcript() {
    kernel_reads
    echo "guest: kernel reads done at $(elapsed) s" >/dev/console
    setup || return
    cd /run || return
    vm_cases >/run/cases
    while read -r line; do
        # shellcheck disable=SC2086  # a case is a list of words
        run_case linux $line
        # shellcheck disable=SC2086
        run_case wine $line
    done </run/cases
    vm_copy_cases >/run/cases
    while read -r line; do
        # shellcheck disable=SC2086  # a case is a list of words
        copy_case linux $line
        # shellcheck disable=SC2086
        copy_case wine $line
    done </run/cases
    echo "guest: program runs done at $(elapsed) s" >/dev/console
    window_runs

    # What reaches the kernel: the same run from both builds, traced.
    traced "wine sectorscope TGT_SR 0" "$wine" /test/bin/sectorscope.exe F 0
    traced "linux sectorscope TGT_SR 0" /test/bin/sectorscope "$TGT_SR" 0

    vm_rates | while read -r sectors commands; do
        for drive in CD_SR TGT_SR; do
            if [ "$drive" = CD_SR ]; then area=$CD_AREA; else area=$TGT_AREA; fi
            rate=$(/test/bin/sgprobe "$(linux_drive "$drive")" rate "$sectors" "$commands" "$area" </dev/null 2>&1)
            echo "linux $drive: $rate"
            rate=$("$wine" /test/bin/sgprobe.exe "$(wine_drive "$drive")" rate "$sectors" "$commands" "$area" \
                </dev/null 2>&1 | tr -d '\r')
            echo "wine $drive: $rate"
        done
    done >/dev/ttyS3
    echo "guest: rates done at $(elapsed) s" >/dev/console
}

for port in /dev/ttyS1 /dev/ttyS2 /dev/ttyS3; do
    # Raw: no CR added before LF, nothing echoed.
    stty -F "$port" raw -echo
done
{
    transcript
    echo "=== end of transcript"
} >/dev/ttyS1
"$wineserver" -k 2>/dev/null
poweroff -f
