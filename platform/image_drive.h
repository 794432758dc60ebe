// An MMC drive emulated over a disc image file of 2048-byte sectors.
//
// It answers as a DVD-RW in Restricted Overwrite mode would: GET CONFIGURATION,
// READ DISC INFORMATION, READ TRACK INFORMATION, READ CAPACITY, READ (10), INQUIRY, TEST
// UNIT READY, SET STREAMING, SET CD SPEED and GET PERFORMANCE; anything else, or an address beyond the image, ends in
// CHECK CONDITION with fixed-format sense data. With the ddrescue mapfile that came with the image, what that rescue
// did not read reads as MEDIUM ERROR.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

struct ImageDrive;

// Reads a ddrescue mapfile for the next image opened: a READ (10) of any sector
// whose bytes it does not mark rescued ends in MEDIUM ERROR (03/11/00), and an
// image shorter than the mapfile reads as long as the mapfile says. False, with
// the reason in `error`, when it cannot be read or parsed.
bool imageDriveUseMapfile(const char* path, std::string* error);

// Prints a notice when the image ends in a partial sector, which is ignored.
ImageDrive* imageDriveOpen(const char* path);
void imageDriveClose(ImageDrive* drive);
// One command, through the hooks below when they are installed, else as the
// drive answers it.
bool imageDrivePass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                    std::uint32_t dataLength, PassResult* result);
// The adapter's longest transfer in bytes: 0, it cannot tell (unless hooks say).
std::uint32_t imageDriveMaxTransferBytes(const ImageDrive* drive);

// One command as the drive itself answers it.
bool imageDriveAnswer(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                      std::uint32_t dataLength, PassResult* result);
// CHECK CONDITION with fixed-format sense data of `key`, `asc` and `ascq`.
void setCheckCondition(PassResult* result, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
// The read speed that SET STREAMING or SET CD SPEED took, kB/s; 0: the drive's own.
std::uint32_t imageDriveReadSpeed(const ImageDrive* drive);

// Where tests and the benchmark stand between the programs and every emulated
// drive (faults, a command log, a timing model, another profile): they install
// hooks for the scope of a test; the programs never do.
class ImageDriveHooks {
public:
    virtual ~ImageDriveHooks() = default;
    virtual bool pass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                      std::uint32_t dataLength, PassResult* result) = 0;
    virtual std::uint32_t maxTransferBytes() const = 0;
};
// Null: none. Returns the hooks installed before.
ImageDriveHooks* imageDriveInstallHooks(ImageDriveHooks* hooks);
