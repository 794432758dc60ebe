// Printed reports of MMC replies, one field per line.
#pragma once

#include <cstdint>

// The name of an MMC profile, as the Current Profile line gives it; "?" when unknown.
const char* profileName(std::uint32_t profile);

void printTrackInformation(const void* reply);  // 48 bytes
void printDiscInformation(const void* reply);   // 34 bytes
void printInquiryData(const void* reply);       // 96 bytes
void printFeatureHeader(const void* reply);     // 8 bytes
