#include "scsi.h"

#include <cstdio>

#include "report.h"

void openDevice(const char* path, DriveHandle* drive)
{
    if (!platformOpenDrive(path, drive)) {
        error("can't open device");
    }
}

void closeDevice(DriveHandle drive)
{
    platformCloseDrive(drive);
}

void SendCommand(DriveHandle drive, std::uint8_t direction, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                 std::uint32_t dataLength)
{
    PassResult result{};
    if (!platformPassCommand(drive, direction, cdb, cdbLength, data, dataLength, &result)) {
        error_api("in SendCommand(): DeviceIoControl() failed");
    }
    if (result.scsiStatus != 0) {
        std::printf("SCSI Error\n");
        std::printf("Status = 0x%08X\n", static_cast<unsigned>(result.scsiStatus));
        if (result.senseLength != 0) {
            std::printf("Sense Data:\n");
            const std::uint32_t length =
                result.senseLength <= kSenseBufferLength ? result.senseLength : kSenseBufferLength;
            dump(result.sense, length);
        }
        endProcess(-1);
    }
    if (result.transferred != dataLength) {
        std::printf("No error. But data length not match\nq");
    }
}

void SendCommandForRead(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                        std::uint32_t dataLength)
{
    SendCommand(drive, kDirectionIn, cdb, cdbLength, data, dataLength);
}

void SendCommandForWrite(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                         std::uint32_t dataLength)
{
    SendCommand(drive, kDirectionOut, cdb, cdbLength, data, dataLength);
}

void SendCommandForNothing(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength)
{
    SendCommand(drive, kDirectionNone, cdb, cdbLength, nullptr, 0);
}
