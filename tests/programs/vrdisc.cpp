#include "vrdisc.h"

#include <unistd.h>

#include <cstdlib>

#include "vrsalvage.h"

Result runVrsalvage(const std::string& image, std::vector<std::string> arguments, std::string directory)
{
    if (directory.empty()) {
        directory = freshDirectory();
    }
    std::vector<std::string> words{"vrsalvage"};
    for (std::string& argument : arguments) {
        words.push_back(argument == "IMG" ? image : argument);
    }
    const ChildOutcome outcome = runChild([&] {
        if (chdir(directory.c_str()) != 0) {
            std::exit(99);
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        std::exit(runVrsalvage(static_cast<int>(words.size()), argv.data()));
    });
    return Result{outcome, directory};
}

Sector numbered(std::uint32_t lba)
{
    Sector s(2048);
    for (std::uint32_t i = 0; i < 2048; i++) {
        s[i] = static_cast<std::uint8_t>((lba * 31) ^ (i + (i >> 8)));
    }
    put32(s, 0, lba);
    return s;
}

std::string sectorsText(const std::vector<std::uint32_t>& lbas)
{
    std::string text;
    for (std::uint32_t lba : lbas) {
        const Sector s = numbered(lba);
        text.append(reinterpret_cast<const char*>(s.data()), s.size());
    }
    return text;
}

std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t end)
{
    std::vector<std::uint32_t> lbas;
    for (std::uint32_t lba = first; lba < end; lba++) {
        lbas.push_back(lba);
    }
    return lbas;
}

std::string fullProgress()
{
    std::string text;
    for (int p = 5; p <= 95; p += 5) {
        text += std::to_string(p) + " %\r";
    }
    return text;
}

void VrDisc::writeBitmap()
{
    Bytes bits(n, 0);
    const std::uint32_t start = volume.start;
    for (std::uint32_t lba : free) {
        const std::uint32_t block = lba - start;
        if (block / 8 < n) {
            bits[block / 8] = static_cast<std::uint8_t>(bits[block / 8] | (1u << (block % 8)));
        }
    }
    // The descriptor head in the first sector, the bitmap running on.
    Bytes all(24 + n, 0);
    const Sector head = spaceBitmap(n, {});
    std::copy(head.begin(), head.begin() + 24, all.begin());
    std::copy(bits.begin(), bits.end(), all.begin() + 24);
    for (std::uint32_t i = 0; i * 2048 < all.size(); i++) {
        Sector s(2048);
        for (std::uint32_t j = 0; j < 2048 && i * 2048 + j < all.size(); j++) {
            s[j] = all[i * 2048 + j];
        }
        volume.block(i, s);
    }
}

Sector directoryEntry(const std::vector<Bytes>& entries)
{
    const Bytes data = join(entries);
    return fileEntry(data.size(), 3, data);
}

VrDisc standardDisc()
{
    VrDisc disc{basicVolume(kVrStart, kVrSectors), 0, {}};
    disc.n = (kVrSectors - kVrStart + 7) / 8;
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 24 + disc.n, 0);
    disc.volume.block(2, directoryEntry({parentIdentifier(2), identifier("DVD_RTAV", 2, 3)}));
    disc.volume.block(
        3, directoryEntry({parentIdentifier(2), identifier("VR_MANGR.IFO", 0, 4), identifier("VR_MOVIE.VRO", 0, 5)}));
    disc.volume.block(4, fileEntry(1000 * 2048, 0, shortAd(0, 1000 * 2048, 8752 - kVrStart)));
    disc.volume.block(
        5, fileEntry(250 * 2048, 0,
                     join({shortAd(0, 100 * 2048, 10112 - kVrStart), shortAd(0, 150 * 2048, 10262 - kVrStart)})));
    for (std::uint32_t lba = 8752; lba < kVrSectors; lba++) {
        disc.volume.sectors[lba] = numbered(lba);
    }
    for (std::uint32_t lba = kVrStart + 6; lba < 8752; lba++) {
        disc.free.insert(lba);
    }
    for (std::uint32_t lba = 9752; lba < 10112; lba++) {
        disc.free.insert(lba);
    }
    for (std::uint32_t lba = 10212; lba < 10262; lba++) {
        disc.free.insert(lba);
    }
    return disc;
}
