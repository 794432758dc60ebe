// The extraction program: its steps by stage.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Fixed layout of a DVD-VR disc on a DVD-RW in Restricted Overwrite mode.
constexpr std::uint32_t kManagementFirstSector = 8752;  // 0x2230
constexpr std::uint32_t kManagementSectors = 1360;      // 0x550
constexpr std::uint32_t kMovieFirstSector = 10112;      // 0x2780
constexpr std::uint16_t kProfileDvdRwRestrictedOverwrite = 0x0013;
constexpr std::uint32_t kProgressMarkSectors = 4096;

extern std::uint32_t g_bIFO_Processed;
extern std::uint32_t g_bVRO_Processed;

int vrsalvageMain(int argc, char** argv);
void sub1(const char* driveArgument);
void rsub1(const char* driveArgument);

// Both modes: ends the run unless the disc is a DVD-RW in Restricted Overwrite mode.
void checkProfile(DriveHandle drive);

// Default mode: the fixed-layout copy.
void sub2(const char* path);
void readSec(DriveHandle drive, std::uint32_t lba, std::uint32_t count, void* buffer);
std::uint32_t getLastTrackNumber(DriveHandle drive, std::uint32_t* trackNumber);
void getLastSectorLBA(DriveHandle drive, std::uint32_t* endLba);
void saveSec(DriveHandle drive, std::uint32_t firstLba, std::uint32_t count, const char* fileName);
void saveSec_sub__sub1(DriveHandle drive, std::uint32_t firstLba, std::uint32_t count, FileHandle file);

// "-r" mode: the UDF walk to the recording files.
void rsub2(const char* path);
void rsub3(DriveHandle drive);
void rsub4(DriveHandle drive);
void rsub5(DriveHandle drive);
void rsub6(DriveHandle drive, std::uint32_t sequenceLocation, std::uint32_t sequenceLength);
void rsub7(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* logicalVolume);
void rsub8(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* fileSet);
void rsub9(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* fileEntry);
void rsub10(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* data, std::uint32_t size);
void rsub11(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* identifier);

// The reusable-area map of one recording file.
void process(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb);
void psub7(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb);
void psub8(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
           const std::uint8_t* bitmapAd);
void psub9(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
           std::uint8_t* descriptor, std::uint32_t bytesRead);
void psub10(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
            std::uint8_t* map, std::uint32_t n, std::int32_t tail);

// The recovery writer of one recording file.
void make(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
          std::uint8_t* map, std::uint32_t n, std::int32_t tail);
void msub1(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail, const std::uint8_t* fileEntry);
void msub2(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail, std::uint32_t adType, const std::uint8_t* list,
           std::uint32_t listLength);
void msub3(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail);
void msub9(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* map, std::uint32_t n);
