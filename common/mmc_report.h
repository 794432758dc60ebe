// Printed reports of MMC replies, one field per line.
#pragma once

void displayTrackInformationBlock(const void* reply);  // 48 bytes
void displayDiscInformationBlock(const void* reply);   // 34 bytes
void displayInquiryData(const void* reply);            // 96 bytes
void displayFeatureHeader(const void* reply);          // 8 bytes
