// The drive handle and the pass-through of one command block.
#pragma once

#include <cstdint>

#include "platform/platform.h"

void openDevice(const char* path, DriveHandle* drive);
void closeDevice(DriveHandle drive);

// Sends one command and returns only when the drive completed it with GOOD
// status; every failure is reported here and ends the process.
void SendCommand(DriveHandle drive, std::uint8_t direction, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                 std::uint32_t dataLength);

void SendCommandForRead(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                        std::uint32_t dataLength);
void SendCommandForWrite(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength, void* data,
                         std::uint32_t dataLength);
void SendCommandForNothing(DriveHandle drive, const std::uint8_t* cdb, std::int32_t cdbLength);
