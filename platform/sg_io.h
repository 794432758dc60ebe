// The Linux SG_IO request, split from the ioctl so that tests can check how
// a request is built and how a reply is read without a drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>

#include "platform.h"

constexpr unsigned kSgTimeoutMilliseconds = kCommandTimeoutSeconds * 1000;

void sgFillHeader(sg_io_hdr_t* header, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                  std::uint32_t dataLength, std::uint8_t* sense);

// Reads what the driver returned. False when the command never reached the
// drive or was not completed by it (a host or driver failure); *errorCode
// then holds an errno value for it.
bool sgTakeResult(const sg_io_hdr_t& header, std::uint32_t dataLength, PassResult* result, int* errorCode);
