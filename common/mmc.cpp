#include "mmc.h"

#include <cstring>

#include "report.h"
#include "scsi.h"
#include "support.h"

namespace {

// Stores a host value as a big-endian field of the command block.
void putDWord(std::uint8_t* cdb, int offset, std::uint32_t value)
{
    const std::uint32_t bigEndian = ReverseEndianDWord(value);
    std::memcpy(cdb + offset, &bigEndian, 4);
}

void putWord(std::uint8_t* cdb, int offset, std::uint32_t value)
{
    const std::uint16_t bigEndian = ReverseEndianWord(value);
    std::memcpy(cdb + offset, &bigEndian, 2);
}

}  // namespace

void ModeSense(DriveHandle drive, std::uint8_t pageCode, void* buffer, std::uint16_t allocationLength)
{
    if (pageCode > 0x3F) {
        error("in ModeSense(): bad page code");
    }
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x5A;
    cdb[2] = pageCode;
    putWord(cdb, 7, allocationLength);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, allocationLength);
}

void ModeSelect(DriveHandle drive, void* parameterList, std::uint16_t parameterListLength)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x55;
    cdb[1] = 0x10;
    putWord(cdb, 7, parameterListLength);
    SendCommandForWrite(drive, cdb, kCdbLength, parameterList, parameterListLength);
}

void ReserveTrack(DriveHandle drive, std::uint32_t reservationSize)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x53;
    putDWord(cdb, 5, reservationSize);
    SendCommandForNothing(drive, cdb, kCdbLength);
}

void WriteASector(DriveHandle drive, std::uint32_t lba, void* buffer)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x2A;
    putDWord(cdb, 2, lba);
    putWord(cdb, 7, 1);
    SendCommandForWrite(drive, cdb, kCdbLength, buffer, kSectorSize);
}

void WriteSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint16_t count)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x2A;
    putDWord(cdb, 2, lba);
    putWord(cdb, 7, count);
    SendCommandForWrite(drive, cdb, kCdbLength, buffer, static_cast<std::uint32_t>(count) * kSectorSize);
}

void writeSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint32_t count)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < count; i++) {
        WriteASector(drive, lba + i, bytes + static_cast<std::size_t>(i) * kSectorSize);
    }
}

void SynchronizeCache(DriveHandle drive)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x35;
    SendCommandForNothing(drive, cdb, kCdbLength);
}

void ReadASector(DriveHandle drive, std::uint32_t lba, void* buffer)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x28;
    putDWord(cdb, 2, lba);
    putWord(cdb, 7, 1);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, kSectorSize);
}

void ReadSectors(DriveHandle drive, std::uint32_t lba, void* buffer, std::uint16_t count)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x28;
    putDWord(cdb, 2, lba);
    putWord(cdb, 7, count);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, static_cast<std::uint32_t>(count) * kSectorSize);
}

void ReadTrackInformation(DriveHandle drive, std::uint32_t trackNumber, void* buffer)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x52;
    cdb[1] = 0x01;
    putDWord(cdb, 2, trackNumber);
    putWord(cdb, 7, kTrackInformationLength);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, kTrackInformationLength);
}

void ReadDiscInformation(DriveHandle drive, void* buffer)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x51;
    putWord(cdb, 7, kDiscInformationLength);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, kDiscInformationLength);
}

void Inquiry(DriveHandle drive, void* buffer)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x12;
    putWord(cdb, 3, kInquiryLength);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, kInquiryLength);
}

void Blank(DriveHandle drive, std::uint8_t blankingType, std::uint32_t startAddress)
{
    if (blankingType > 7) {
        error("Bad Blanking Type");
    }
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0xA1;
    cdb[1] = blankingType;
    putDWord(cdb, 2, startAddress);
    SendCommandForNothing(drive, cdb, kCdbLength);
}

void FormatUnit(DriveHandle drive, void* parameterList)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x04;
    cdb[1] = 0x11;
    SendCommandForWrite(drive, cdb, kCdbLength, parameterList, 12);
}

void GetConfiguration(DriveHandle drive, std::uint16_t startingFeature, void* buffer, std::uint16_t allocationLength)
{
    std::uint8_t cdb[kCdbLength] = {};
    cdb[0] = 0x46;
    cdb[1] = 0x02;
    putWord(cdb, 2, startingFeature);
    putWord(cdb, 7, allocationLength);
    SendCommandForRead(drive, cdb, kCdbLength, buffer, allocationLength);
}
