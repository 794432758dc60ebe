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
        echo "vrsalvage -r $drive"
        # The keep-going engine's options through both builds' parsers; the
        # profile test ends the run on this DVD-ROM before any copy.
        echo "vrsalvage --keep-going --retries=1 -r $drive"
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
