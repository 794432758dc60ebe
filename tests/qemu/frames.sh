# Sourced by the guest's init (busybox sh) and by run-qemu-test.sh (bash):
# how one program run is framed in the transcript, and the READ (10) probes.
# Both sides must produce byte-identical frames, so this is plain POSIX sh.
#
# Needs FRAME_TMP (a writable folder) and, for the probes, the disc facts
# BLOCKS, PATTERN_LBA and PATTERN_SECTORS.

# frame NAME COMMAND...
# Runs COMMAND and prints its standard output between two marker lines, the
# second with the exit status; standard error follows only when there was any.
frame() {
    frame_name=$1
    shift
    "$@" </dev/null >"$FRAME_TMP/frame.out" 2>"$FRAME_TMP/frame.err"
    frame_status=$?
    printf '=== %s\n' "$frame_name"
    cat "$FRAME_TMP/frame.out"
    printf '=== %s: exit %s\n' "$frame_name" "$frame_status"
    if [ -s "$FRAME_TMP/frame.err" ]; then
        printf '=== %s: stderr\n' "$frame_name"
        cat "$FRAME_TMP/frame.err"
    fi
}

# find_nodes TARGET (in the guest): "/dev/srN /dev/sgM" of the drive with
# that SCSI target id, once the scan has made both nodes.
find_nodes() {
    tries=0
    while [ "$tries" -lt 200 ]; do
        for dir in /sys/bus/scsi/devices/*:0:"$1":0; do
            sr=$(ls "$dir/block" 2>/dev/null)
            sg=$(ls "$dir/scsi_generic" 2>/dev/null)
            if [ -n "$sr" ] && [ -n "$sg" ] && [ -e "/dev/$sr" ] && [ -e "/dev/$sg" ]; then
                echo "/dev/$sr /dev/$sg"
                return 0
            fi
        done
        usleep 50000
        tries=$((tries + 1))
    done
    return 1
}

# The READ (10) commands sent to the block node, one "LBA COUNT LENGTH" a line.
# The buffer always holds exactly the sectors asked for, as in the programs:
# QEMU fills the whole buffer whatever the command's transfer length says.
probe_cases_block() {
    echo "16 1 2048"      # the first volume structure descriptor (BEA01)
    echo "256 1 2048"     # the anchor volume descriptor pointer
    # beyond 1 GiB, several sectors in one command
    echo "$PATTERN_LBA $PATTERN_SECTORS $((PATTERN_SECTORS * 2048))"
    echo "$((BLOCKS - 1)) 1 2048"    # the last sector
    # one sector past the end, and a read across the end
    echo "$BLOCKS 1 2048"
    echo "$((BLOCKS - 1)) 2 4096"
}

# The READ (10) commands sent to the generic node.
probe_cases_generic() {
    echo "16 1 2048"
    echo "$PATTERN_LBA $PATTERN_SECTORS $((PATTERN_SECTORS * 2048))"
}

# probe_frames PROBE DEVICE LABEL CASES
# One frame per case of the function CASES, sent by PROBE to DEVICE; LABEL
# names the device in the frame names.
probe_frames() {
    "$4" | while read -r lba count length; do
        frame "sgprobe $3 read $lba $count $length" "$1" "$2" read "$lba" "$count" "$length"
    done
}
