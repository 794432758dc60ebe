// The block display program: prints one 2048-byte block of the UDF partition.
#pragma once

#include <cstdint>

#include "platform/platform.h"

int sectorscopeMain(int argc, char** argv);

void sub1(const char* driveArgument, const char* blockNumberText);
void sub2(const char* path, std::uint32_t blockNumber);
void sub3(DriveHandle drive, std::uint32_t blockNumber);
void sub4(DriveHandle drive, std::uint32_t blockNumber);
void sub5(DriveHandle drive, std::uint32_t blockNumber);
void sub6(DriveHandle drive, std::uint32_t blockNumber, std::uint32_t sequenceLocation, std::uint32_t sequenceLength);
void sub7(DriveHandle drive, std::uint32_t blockNumber, const std::uint8_t* partitionDescriptor);
