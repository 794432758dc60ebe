// What the three libFuzzer harnesses share: the input format, the emulated
// drive set up from it, and one isolated run of a program chain.
//
// Input format (numbers little-endian). A header of kHeaderSize bytes (a
// shorter input reads as if padded with zeros):
//
//   0   u8   flags: 0x01 LRA_V, 0x02 NWA_V, 0x04 Last Recorded Address given,
//            0x08 Next Writable Address given, 0x10 Track Size given,
//            0x20 one fault injected, 0x40 the tag checksum and CRC of the
//            descriptor at the start of each record's first sector filled in,
//            0x80 (fixed-layout harness only) the larger image limit
//   1   u8   fault kind (modulo 5): CheckCondition, StatusOnly, ShortTransfer,
//            PassFailure, Good
//   2   u16  current profile (0x0013: DVD-RW Restricted Overwrite; 0: no medium)
//   4   u16  last track number in the last session
//   6   u16  image size in sectors, cut to the harness's limit
//   8   u32  Last Recorded Address   (used when flag 0x04 is set)
//   12  u32  Next Writable Address   (used when flag 0x08 is set)
//   16  u32  Track Size              (used when flag 0x10 is set)
//   20  u32  block number (sectorscope only)
//   24  u8   fault: operation code, 0xFF for any command
//   25  u8   fault: matching commands let through first
//   26  u8   fault: SCSI status
//   27  u8   fault: sense key       } of fixed-format sense data, 18 bytes
//   28  u8   fault: ASC             }
//   29  u8   fault: ASCQ            }
//   30  u16  fault: bytes moved by a short transfer
//   32  u32  fault: READ (10) sector it hits, 0xFFFFFFFF for any; a fault
//            that answers GOOD (ShortTransfer, Good, or a status of 0) and
//            may hit READ (10) hits one sector only: "any" is then the first
//            sector past the image
//
// Then records up to the end of the input, each
//
//   u32 sector, u16 length, `length` bytes
//
// written into the image at byte 2048 * sector on (a record may run over
// several sectors; what lies beyond the image is dropped; later records
// overwrite earlier ones). Everything else in the image reads as zeros, so
// a disc of tens of thousands of sectors costs only its interesting bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drive_hooks.h"

namespace fuzz {

constexpr std::uint32_t kSector = 2048;
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kRecordHeadSize = 6;

struct Disc {
    DriveHookSettings settings;
    std::uint32_t sectors = 0;
    std::uint32_t blockNumber = 0;
    // A fault that hands the program different data with GOOD status (a
    // short transfer, an untouched buffer, a CHECK CONDITION reported as
    // status 0): the program cannot tell, so its output proves nothing.
    bool dataFault = false;
    std::uint32_t retries = 0;  // the keep-going harness only
};

// Decodes an input into `disc` and writes its image (at most maxSectors).
void loadDisc(const std::uint8_t* data, std::size_t size, std::uint32_t maxSectors, Disc* disc);

struct Outcome {
    bool ended;  // through a fatal error
    int status;  // its status
};

using Body = void (*)(const char* imagePath, const Disc& disc, DriveHooks& hooks);
using Check = void (*)(const Disc& disc, const Outcome& outcome);

// From now on the files the programs create are kept in memory, not in the
// private directory, and the drive reads the image's holes as zeros without
// the system copying them: for a fixed-layout copy, the megabytes written
// into and read from a file system for every input cost more than the rest
// of the run. The harness binary must be linked with the platform's file
// and image functions wrapped (fuzz/CMakeLists.txt); only new files are
// kept so, and any other file function is a finding. outputSize(),
// outputEqualsImage() and the transcript read them there.
void keepFilesInMemory();

// Runs `body` against the image in the harness's private directory, with the
// drive hooks set from `disc` (installed while it runs) and standard output discarded. A fatal error
// comes back as an Outcome. Every descriptor the run opened must have been
// closed, whichever way it ended.
// `check` runs afterwards, while the files the program wrote still exist;
// then they are removed.
Outcome runProgram(const Disc& disc, Body body, Check check = nullptr);

// The size of a file the program wrote; false when there is none.
bool outputSize(const char* name, std::uint64_t* size);
// Whether that file holds exactly `count` sectors of the image from `first` on.
// With `zerosBeyondImage`, sectors past the image's end must be zeros.
bool outputEqualsImage(const char* name, std::uint32_t first, std::uint32_t count, bool zerosBeyondImage = false);

// After a normal return of the default mode without a data fault:
// VR_MANGR.IFO holds sectors 8752-10111 of the image and VR_MOVIE.VRO those
// from 10112 to the end of the recorded area the drive reports.
void checkFixedLayoutCopy(const Disc& disc, const Outcome& outcome);
// The same after a keep-going copy: sectors past the image's end, which no
// drive can read, are zeros in their place.
void checkRescuedFixedLayoutCopy(const Disc& disc, const Outcome& outcome);

// Reports a wrong result and aborts, so that libFuzzer keeps the input.
[[noreturn]] void finding(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz
