# shellcheck shell=sh
# Sourced by the VM test's guest and host: the program runs that both the
# Linux programs and the 32-bit Windows programs make, one a line, with the
# drives named by label:
#   CD_SR CD_SG    QEMU's scsi-cd (a large volume of mkvrdisc with the
#                  recording files: a DVD-ROM that refuses READ TRACK
#                  INFORMATION), block and generic node
#   TGT_SR TGT_SG  tgt's MMC LUN (the sample disc: real recordings and an
#                  erased one), through QEMU's iSCSI initiator, block and
#                  generic node
#   MISSING        a drive that does not exist
# Needs the disc facts FSD_BLOCK, LAST_BLOCK and PAST_BLOCK of the tgt disc.
vm_cases() {
    for drive in CD_SR CD_SG; do
        echo "sectorscope $drive 0"
        echo "vrsalvage $drive"
    done
    for drive in TGT_SR TGT_SG; do
        echo "vrsalvage $drive"
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

# The copies, each run in a new empty folder, whose files are compared with
# those of the native build's same run on the disc's image, through an
# emulated drive that answers as that drive does.
vm_copy_cases() {
    for drive in CD_SR CD_SG TGT_SR TGT_SG; do
        echo "vrsalvage --files $drive"
    done
    for drive in CD_SR TGT_SR TGT_SG; do
        echo "vrsalvage -r $drive"
        echo "vrsalvage --keep-going --mapfile=run.map -r $drive"
    done
}

# copy_folder CASE...: the name of the folder that holds a copy's files.
copy_folder() {
    echo "$*" | sed 's/[^A-Za-z0-9]/_/g'
}

# The READ (10) rate runs: "SECTORS COMMANDS", a command of SECTORS sectors
# COMMANDS times, RATE_SCALE times as many for steadier figures.
vm_rates() {
    echo "1 $((2048 * ${RATE_SCALE:-1}))"
    echo "16 $((512 * ${RATE_SCALE:-1}))"
    echo "32 $((256 * ${RATE_SCALE:-1}))"
}
