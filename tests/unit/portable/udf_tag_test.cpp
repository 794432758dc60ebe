// The checks of a descriptor's tag: identifier, checksum, location and CRC.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "udf.h"

namespace {

// A File Set Descriptor at partition block 7 whose CRC covers 100 bytes, as a
// writer lays it down.
SectorBuffer validDescriptor()
{
    SectorBuffer d{};
    d[0] = 0x00;
    d[1] = 0x01;  // 256
    d[2] = 2;
    d[12] = 7;
    for (std::size_t i = 16; i < 116; i++) {
        d[i] = static_cast<std::uint8_t>(i * 13);
    }
    d[10] = 100;
    const std::uint16_t crc = descriptorCrc(d.data() + 16, 100);
    d[8] = static_cast<std::uint8_t>(crc);
    d[9] = static_cast<std::uint8_t>(crc >> 8);
    d[4] = tagChecksum(d.data());
    return d;
}

TEST(UdfTag, IdentifierChecksumLocationAndCrc)
{
    // CRC-ITU-T of "123456789" with initial value 0 (the XMODEM check value).
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(descriptorCrc(check, sizeof check), 0x31C3);
    // The tag checksum leaves out its own byte and keeps the low 8 bits: 15 x 0xFF is 0xEF1.
    const std::uint8_t tag[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(tagChecksum(tag), 0xF1);

    struct Case {
        const char* name;
        std::function<void(SectorBuffer&)> change;
        std::optional<std::uint32_t> location;
        std::size_t available;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"as written", [](SectorBuffer&) {}, 7, kSectorSize, true},
        {"no location asked", [](SectorBuffer&) {}, std::nullopt, kSectorSize, true},
        {"another location", [](SectorBuffer&) {}, 8, kSectorSize, false},
        {"a byte of the tag changed", [](SectorBuffer& d) { d[6] ^= 1; }, 7, kSectorSize, false},
        {"the checksum changed", [](SectorBuffer& d) { d[4] ^= 1; }, 7, kSectorSize, false},
        {"a byte the CRC covers changed", [](SectorBuffer& d) { d[115] ^= 1; }, 7, kSectorSize, false},
        {"a byte after the CRC's reach changed", [](SectorBuffer& d) { d[116] ^= 1; }, 7, kSectorSize, true},
        {"the CRC reaches past what was read", [](SectorBuffer& d) { d[115] ^= 1; }, 7, 100, true},
        {"fewer bytes than a tag", [](SectorBuffer&) {}, 7, 15, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SectorBuffer d = validDescriptor();
        c.change(d);
        EXPECT_EQ(hasValidTag(d.data(), TagIdentifier::kFileSet, c.location, c.available), c.valid);
        EXPECT_FALSE(hasValidTag(d.data(), TagIdentifier::kFileEntry, c.location, c.available));
    }
}

}  // namespace
