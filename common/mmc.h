// One function per MMC command. Each builds its 12-byte command block and
// returns only when the drive completed the command (failures end the process).
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr std::uint32_t kSectorSize = 2048;
constexpr std::int32_t kCdbLength = 12;
constexpr std::uint32_t kDiscInformationLength = 34;
constexpr std::uint32_t kTrackInformationLength = 48;
constexpr std::uint32_t kInquiryLength = 96;
constexpr std::uint32_t kFeatureHeaderLength = 8;

void ModeSense(DriveHandle drive, std::uint8_t pageCode, void* buffer, std::uint16_t allocationLength);
void ModeSelect(DriveHandle drive, void* parameterList, std::uint16_t parameterListLength);
void ReserveTrack(DriveHandle drive, std::uint32_t reservationSize);
void WriteASector(DriveHandle drive, std::uint32_t lba, void* buffer);
void WriteSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint16_t count);
void writeSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint32_t count);
void SynchronizeCache(DriveHandle drive);
void ReadASector(DriveHandle drive, std::uint32_t lba, void* buffer);
void ReadSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint16_t count);
void ReadTrackInformation(DriveHandle drive, std::uint32_t trackNumber, void* buffer);
void ReadDiscInformation(DriveHandle drive, void* buffer);
void Inquiry(DriveHandle drive, void* buffer);
void Blank(DriveHandle drive, std::uint8_t blankingType, std::uint32_t startAddress);
void FormatUnit(DriveHandle drive, void* parameterList);
void GetConfiguration(DriveHandle drive, std::uint16_t startingFeature, void* buffer, std::uint16_t allocationLength);
