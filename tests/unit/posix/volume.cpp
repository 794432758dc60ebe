#include "volume.h"

#include <cstring>

namespace {

Bytes sized(std::size_t size)
{
    return Bytes(size, 0);
}

// The tag's location and checksum are filled in where the sector is placed
// (VolumeImage::block, writeImage).
void putTag(Sector& s, std::uint32_t identifier)
{
    put16(s, 0, identifier);
    put16(s, 2, 2);
    put32(s, 12, kTagLocationUnset);
}

}  // namespace

Bytes shortAd(std::uint32_t type, std::uint32_t length, std::uint32_t position)
{
    Bytes b = sized(8);
    put32(b, 0, (type << 30) | length);
    put32(b, 4, position);
    return b;
}

Bytes longAd(std::uint32_t type, std::uint32_t length, std::uint32_t block, std::uint16_t partition)
{
    Bytes b = sized(16);
    put32(b, 0, (type << 30) | length);
    put32(b, 4, block);
    put16(b, 8, partition);
    return b;
}

Bytes extAd(std::uint32_t type, std::uint32_t length, std::uint32_t block)
{
    Bytes b = sized(20);
    put32(b, 0, (type << 30) | length);
    put32(b, 4, length);  // recorded length
    put32(b, 8, length);  // information length
    put32(b, 12, block);
    return b;
}

Bytes join(const std::vector<Bytes>& parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Sector anchor(std::uint32_t sequenceLocation, std::uint32_t sequenceLength)
{
    Sector s(2048);
    putTag(s, 2);
    put32(s, 16, sequenceLength);
    put32(s, 20, sequenceLocation);
    return s;
}

Sector partitionDescriptor(std::uint32_t start, std::uint32_t bitmapLength, std::uint32_t bitmapBlock)
{
    Sector s(2048);
    putTag(s, 5);
    std::memcpy(s.data() + 25, "+NSR02", 6);
    put32(s, 64, bitmapLength);
    put32(s, 68, bitmapBlock);
    put32(s, 188, start);
    return s;
}

Sector logicalVolume(std::uint32_t fileSetBlock)
{
    Sector s(2048);
    putTag(s, 6);
    put32(s, 212, 2048);
    put32(s, 248, 2048);
    put32(s, 252, fileSetBlock);
    return s;
}

Sector fileSet(std::uint32_t rootBlock, std::uint16_t rootPartition)
{
    Sector s(2048);
    putTag(s, 256);
    put32(s, 400, 2048);
    put32(s, 404, rootBlock);
    put16(s, 408, rootPartition);
    return s;
}

Sector fileEntry(std::uint64_t informationLength, std::uint32_t adType, const Bytes& area, std::uint32_t lea)
{
    Sector s(2048);
    putTag(s, 261);
    s[16 + 11] = 4;  // file type: directory (not read by the programs)
    s[34] = static_cast<std::uint8_t>(adType);
    put32(s, 56, static_cast<std::uint32_t>(informationLength));
    put32(s, 60, static_cast<std::uint32_t>(informationLength >> 32));
    put32(s, 168, lea);
    put32(s, 172, static_cast<std::uint32_t>(area.size()));
    const std::size_t at = 176 + lea;
    for (std::size_t i = 0; i < area.size() && at + i < s.size(); i++) {
        s[at + i] = area[i];
    }
    return s;
}

Sector extendedFileEntry(std::uint64_t informationLength, std::uint32_t adType, const Bytes& area, std::uint32_t lea)
{
    // The same fields as a File Entry's up to byte 176; then its own.
    Sector s = fileEntry(informationLength, adType, {}, 0);
    std::fill(s.begin() + 168, s.end(), std::uint8_t{0xA5});  // Object Size, Creation Time, ... as noise
    putTag(s, 266);
    put32(s, 208, lea);
    put32(s, 212, static_cast<std::uint32_t>(area.size()));
    const std::size_t at = 216 + lea;
    for (std::size_t i = 216; i < at && i < s.size(); i++) {
        s[i] = 0xEA;  // extended attributes, skipped by their length
    }
    for (std::size_t i = 0; i < area.size() && at + i < s.size(); i++) {
        s[at + i] = area[i];
    }
    return s;
}

Sector allocationExtent(const Bytes& descriptors, std::uint32_t lad)
{
    Sector s(2048);
    putTag(s, 258);
    put32(s, 20, lad);
    for (std::size_t i = 0; i < descriptors.size() && 24 + i < s.size(); i++) {
        s[24 + i] = descriptors[i];
    }
    return s;
}

Sector allocationExtent(const Bytes& descriptors)
{
    return allocationExtent(descriptors, static_cast<std::uint32_t>(descriptors.size()));
}

Bytes identifier(const std::string& name, std::uint8_t characteristics, std::uint32_t icbBlock, std::uint16_t useLength,
                 std::uint16_t icbPartition)
{
    const std::size_t nameLength = name.empty() ? 0 : name.size() + 1;
    Bytes b = sized((38 + useLength + nameLength + 3) & ~std::size_t{3});
    put16(b, 0, 257);
    b[18] = characteristics;
    b[19] = static_cast<std::uint8_t>(nameLength);
    put32(b, 20, 2048);
    put32(b, 24, icbBlock);
    put16(b, 28, icbPartition);
    put16(b, 36, useLength);
    for (std::size_t i = 0; i < useLength; i++) {
        b[38 + i] = 0x55;
    }
    if (nameLength != 0) {
        b[38 + useLength] = 8;
        std::memcpy(b.data() + 38 + useLength + 1, name.data(), name.size());
    }
    // Its tag names the block it lies in, which no test checks: 0.
    put16(b, 2, 2);
    put32(b, 12, kTagLocationUnset);
    placeTag(b, 0);
    return b;
}

Bytes parentIdentifier(std::uint32_t icbBlock)
{
    return identifier("", 0x0A, icbBlock);
}

Sector spaceBitmap(std::uint32_t numberOfBytes, const Bytes& bits)
{
    Sector s(2048);
    putTag(s, 264);
    put32(s, 16, numberOfBytes * 8);
    put32(s, 20, numberOfBytes);
    for (std::size_t i = 0; i < bits.size() && 24 + i < s.size(); i++) {
        s[24 + i] = bits[i];
    }
    return s;
}

Sector spaceTable(const Bytes& descriptors, std::uint32_t adType)
{
    Sector s(2048);
    putTag(s, 263);
    s[34] = static_cast<std::uint8_t>(adType);
    put32(s, 36, static_cast<std::uint32_t>(descriptors.size()));
    std::copy(descriptors.begin(), descriptors.end(), s.begin() + 40);
    return s;
}

Sector recognition(const char* identifierText)
{
    Sector s(2048);
    s[0] = 0;
    std::memcpy(s.data() + 1, identifierText, 5);
    s[6] = 1;
    return s;
}

VolumeImage basicVolume(std::uint32_t start, std::uint64_t total, std::uint32_t bitmapLength, std::uint32_t bitmapBlock)
{
    VolumeImage v{{}, start, total};
    v.sectors[16] = recognition("BEA01");
    v.sectors[17] = recognition("NSR02");
    v.sectors[18] = recognition("TEA01");
    v.sectors[256] = anchor(32, 16 * 2048);
    v.sectors[32] = partitionDescriptor(start, bitmapLength, bitmapBlock);
    v.sectors[33] = logicalVolume(1);
    Sector terminator(2048);
    put16(terminator, 0, 8);
    v.sectors[34] = terminator;
    v.block(1, fileSet(2));
    return v;
}
