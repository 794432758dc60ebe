#!/test/bb/sh
# The VM test guest's /init. The root is the initramfs; the host's /usr comes
# read-only over 9p, with bin, lib, lib32, lib64 and sbin linking into it,
# which brings 32-bit Wine and strace. Runs every case of cases.sh with the
# static Linux programs and with the 32-bit .exe files under Wine, then the
# traced runs and the rate runs, and powers off.
#
# Serial ports: ttyS0 the console, ttyS1 the transcript, ttyS2 the SG_IO
# requests that strace saw, ttyS3 the rates.
#
# /test/params        the disc facts (FSD_BLOCK, LAST_BLOCK, PAST_BLOCK), the
#                     areas of the rate runs (CD_AREA, TGT_AREA) and RATE_SCALE
# /test/modules.list  the kernel modules to insert, in order
# /test/bin           sectorscope, vrsalvage, sgprobe and their .exe files
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
PATH=/test/bb:/usr/bin:/usr/sbin
export HOME=/root USER=root
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
    setup || return
    cd /run || return
    vm_cases >/run/cases
    while read -r line; do
        # shellcheck disable=SC2086  # a case is a list of words
        run_case linux $line
        # shellcheck disable=SC2086
        run_case wine $line
    done </run/cases
    echo "guest: program runs done at $(elapsed) s" >/dev/console

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
