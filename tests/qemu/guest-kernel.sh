# shellcheck shell=bash disable=SC2034  # sets variables for the sourcing script
# Sourced by the host scripts of the QEMU and VM tests (bash): the guest's
# kernel and the modules it loads. Both functions call skip (defined by the
# caller) when the kernel cannot be had, and fail on an error.

# find_guest_kernel: sets kernel_version, kernel and module_dir to the newest
# kernel in /boot that has its modules.
find_guest_kernel() {
    local image version
    kernel_version=
    for image in /boot/vmlinuz-*; do
        version=${image#/boot/vmlinuz-}
        if ! [ -r "$image" ] || ! [ -d "/lib/modules/$version" ]; then continue; fi
        if [ -z "$kernel_version" ] || [ "$(printf '%s\n%s\n' "$kernel_version" "$version" | sort -V | tail -n 1)" = "$version" ]; then
            kernel_version=$version
        fi
    done
    [ -n "$kernel_version" ] || skip "no kernel with modules in /boot and /lib/modules (linux-image-amd64)"
    kernel=/boot/vmlinuz-$kernel_version
    module_dir=/lib/modules/$kernel_version
}

# copy_guest_modules DIR MODULE...: each module, decompressed, as DIR/NAME.ko,
# and its name in DIR/../modules.list, in the order given (dependency order).
# Modules built into the kernel are left out.
copy_guest_modules() {
    local dir=$1 module file target
    shift
    : >"$dir/../modules.list"
    for module in "$@"; do
        file=$(find "$module_dir/kernel" -name "$module.ko" -o -name "$module.ko.xz" -o -name "$module.ko.zst" -o -name "$module.ko.gz" | head -n 1)
        target=$dir/$module.ko
        case $file in
        "")
            grep -q "/$module.ko\$" "$module_dir/modules.builtin" 2>/dev/null ||
                skip "kernel $kernel_version has no module $module"
            continue ;;
        *.xz) xz -dc "$file" >"$target" || fail "cannot decompress $file" ;;
        *.zst) zstd -qdc "$file" >"$target" || fail "cannot decompress $file" ;;
        *.gz) gzip -dc "$file" >"$target" || fail "cannot decompress $file" ;;
        *) cp "$file" "$target" || fail "cannot copy $file" ;;
        esac
        echo "$module" >>"$dir/../modules.list"
    done
}

# The drivers of a CD-ROM drive on a virtio SCSI controller, in dependency order.
scsi_cd_modules="scsi_common scsi_mod cdrom sr_mod sg virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_scsi"

# udf_partition_start IMAGE: the partition start, read from the image the way
# a UDF reader finds it: the anchor at 256 names the Main Volume Descriptor
# Sequence, whose Partition Descriptor (tag 5) holds the starting location at
# byte 188. Prints nothing when there is none.
udf_partition_start() {
    local image=$1 vds_length vds_location i
    le() { od -An -v -tu"$2" --endian=little -j "$1" -N "$2" "$image" | tr -d ' '; }
    vds_length=$(le $((256 * 2048 + 16)) 4)
    vds_location=$(le $((256 * 2048 + 20)) 4)
    for ((i = 0; i < vds_length / 2048; i++)); do
        if [ "$(le $(((vds_location + i) * 2048)) 2)" = 5 ]; then
            le $(((vds_location + i) * 2048 + 188)) 4
            return
        fi
    done
}
