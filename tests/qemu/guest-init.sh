#!/bin/sh
# The guest's /init: loads the SCSI CD-ROM drivers, runs the programs against
# QEMU's drives and sends the transcript over the second serial port (ttyS1),
# then powers off. Everything else the guest says goes to the console (ttyS0).
#
# /test/params       the disc facts (BLOCKS, PATTERN_LBA, PATTERN_SECTORS, PART_START)
# /test/modules.list the kernel modules to insert, in order (/test/modules/NAME.ko)
# /test/frames.sh    the framing shared with the host
PATH=/bin
export PATH

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
exec </dev/console >/dev/console 2>&1

# shellcheck source=/dev/null
. /test/params
# shellcheck source=frames.sh
. /test/frames.sh
# shellcheck disable=SC2034  # used by frames.sh
FRAME_TMP=/run

while read -r module; do
    insmod "/test/modules/$module.ko" || echo "guest: insmod $module failed"
done </test/modules.list

transcript() {
    if ! nodes=$(find_nodes 0); then
        echo "=== guest: the large disc (target 0) did not appear"
        return
    fi
    BIG_SR=${nodes% *}
    BIG_SG=${nodes#* }
    if ! nodes=$(find_nodes 1); then
        echo "=== guest: the small disc (target 1) did not appear"
        return
    fi
    SMALL_SR=${nodes% *}
    echo "guest: large disc $BIG_SR $BIG_SG, small disc $SMALL_SR" >/dev/console

    cd /run || return
    frame "sectorscope BIG_SR 0" sectorscope "$BIG_SR" 0
    frame "sectorscope BIG_SG 0" sectorscope "$BIG_SG" 0
    frame "vrsalvage BIG_SR" vrsalvage "$BIG_SR"
    frame "vrsalvage -r BIG_SR" vrsalvage -r "$BIG_SR"
    frame "sectorscope SMALL_SR 0" sectorscope "$SMALL_SR" 0
    frame "sectorscope /dev/nonexistent 0" sectorscope /dev/nonexistent 0
    probe_frames sgprobe "$BIG_SR" BIG_SR probe_cases_block
    probe_frames sgprobe "$BIG_SG" BIG_SG probe_cases_generic
    # Two sectors into a one-sector buffer: the controller refuses the
    # overrun (a host status, not a SCSI status), a failed pass-through.
    frame "sgprobe BIG_SR read 16 2 2048" sgprobe "$BIG_SR" read 16 2 2048
    frame "partition block 0 of BIG_SR" sgprobe "$BIG_SR" dump "$PART_START"
}

# Raw: no CR added before LF, nothing echoed.
stty -F /dev/ttyS1 raw -echo
{
    transcript
    echo "=== end of transcript"
} >/dev/ttyS1
poweroff -f
