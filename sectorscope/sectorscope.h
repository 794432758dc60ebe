// The block display program: prints one 2048-byte block of the UDF partition.
#pragma once

#include <cstdint>

// The command line; returns the exit status.
int runSectorscope(int argc, char** argv);

// Finds the disc's UDF partition and prints a hexadecimal dump of its block
// `blockNumber` ("Block Number error" beyond the end of the recorded area).
void dumpPartitionBlock(const char* devicePath, std::uint32_t blockNumber);
