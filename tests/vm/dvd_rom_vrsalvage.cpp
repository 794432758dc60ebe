// vrsalvage over a disc image whose emulated drive answers as the VM test's
// real drives do: a DVD-ROM (profile 0x0010), and for "qemu" one that refuses
// READ TRACK INFORMATION (05/20/00, INVALID COMMAND OPERATION CODE), as
// QEMU's scsi-cd does; "tgt" answers it, with the image's last sector as the
// Last Recorded Address, as a tgt MMC LUN does.
//
// Usage: dvd_rom_vrsalvage qemu|tgt VRSALVAGE-ARGUMENT...
#include <cstdio>
#include <cstring>

#include "drive_hooks.h"
#include "vrsalvage.h"

int main(int argc, char** argv)
{
    const bool qemu = argc >= 2 && std::strcmp(argv[1], "qemu") == 0;
    if (argc < 3 || (!qemu && std::strcmp(argv[1], "tgt") != 0)) {
        std::fprintf(stderr, "usage: dvd_rom_vrsalvage qemu|tgt VRSALVAGE-ARGUMENT...\n");
        return 2;
    }
    DriveHooks hooks;
    DriveHookSettings& drive = hooks.settings;
    drive.profile = 0x0010;
    if (qemu) {
        ImageFault refused;
        refused.opcode = 0x52;
        refused.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
        drive.faults.push_back(refused);
    }
    // The program's own name first, as a shell would pass it.
    argv[1] = argv[0];
    return runVrsalvage(argc - 1, argv + 1);
}
