# shellcheck shell=sh
# Sourced by the VM test's guest and host: the program runs that both the
# Linux programs and the 32-bit Windows programs make, one a line, with the
# drives named by label:
#   CD_SR CD_SG    QEMU's scsi-cd (a large mkudffs volume: a DVD-ROM that
#                  refuses READ TRACK INFORMATION), block and generic node
#   TGT_SR TGT_SG  tgt's MMC LUN (a small mkudffs volume), through QEMU's
#                  iSCSI initiator, block and generic node
#   MISSING        a drive that does not exist
# Needs the disc facts FSD_BLOCK, LAST_BLOCK and PAST_BLOCK of the tgt disc.
vm_cases() {
    for drive in CD_SR CD_SG; do
        echo "sectorscope $drive 0"
        echo "vrsalvage $drive"
        echo "vrsalvage -r $drive"
    done
    for drive in TGT_SR TGT_SG; do
        echo "vrsalvage $drive"
        # -r on this disc, which holds the recording files, writes them in the
        # guest's working folder, where a later run finds them; its files are
        # not compared with the image run's yet, so it is not among the cases.
        echo "sectorscope $drive 0"
        echo "sectorscope $drive $FSD_BLOCK"
        echo "sectorscope $drive $LAST_BLOCK"
        # Refused before any read: the block is past the recorded area.
        echo "sectorscope $drive $PAST_BLOCK"
    done
    echo "sectorscope MISSING 0"
    echo "vrsalvage MISSING"
    echo "vrsalvage -r MISSING"
}

# The READ (10) rate runs: "SECTORS COMMANDS", a command of SECTORS sectors
# COMMANDS times, RATE_SCALE times as many for steadier figures.
vm_rates() {
    echo "1 $((2048 * ${RATE_SCALE:-1}))"
    echo "16 $((512 * ${RATE_SCALE:-1}))"
    echo "32 $((256 * ${RATE_SCALE:-1}))"
}
