// Errors, little-endian fields and descriptor tags.
#include "mkvrdisc.h"

#include <cstdio>
#include <cstdlib>

std::string g_recipe_name = "-";

void Fail(const std::string& message)
{
    std::fprintf(stderr, "mkvrdisc: %s\n", message.c_str());
    std::exit(1);
}

void FailAt(int line, const std::string& message)
{
    Fail(g_recipe_name + ":" + std::to_string(line) + ": " + message);
}

void Put8(uint8_t* p, uint64_t v)
{
    p[0] = static_cast<uint8_t>(v);
}

void Put16(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 2; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put32(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// CRC-16 with polynomial x^16 + x^12 + x^5 + 1, initial value 0, most significant bit first.
uint16_t Crc16(const uint8_t* p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(p[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
            crc &= 0xFFFF;
        }
    }
    return static_cast<uint16_t>(crc);
}

uint8_t TagChecksum(const uint8_t* tag)
{
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4)
            sum += tag[i];
    return static_cast<uint8_t>(sum);
}

void FinishTag(uint8_t* d, uint16_t id, uint16_t version, uint32_t location, size_t crc_length)
{
    Put16(d + 0, id);
    Put16(d + 2, version);
    Put8(d + 5, 0);
    Put16(d + 6, 1);  // tag serial number
    Put16(d + 10, crc_length);
    Put32(d + 12, location);
    Put16(d + 8, Crc16(d + 16, crc_length));
    Put8(d + 4, TagChecksum(d));
}

void RefreshTag(uint8_t* d, size_t avail)
{
    size_t crc_length = Get16(d + 10);
    if (avail < 16)
        return;
    if (crc_length > avail - 16)
        crc_length = avail - 16;
    Put16(d + 8, Crc16(d + 16, crc_length));
    Put8(d + 4, TagChecksum(d));
}
