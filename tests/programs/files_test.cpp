// vrsalvage --files: the files of DVD_RTAV copied through their allocation
// descriptors, run in a child process through the emulated drive.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "drive_hooks.h"
#include "vrdisc.h"

namespace {

std::string zeros(std::size_t bytes)
{
    return std::string(bytes, '\0');
}

// The standard disc with two more files in DVD_RTAV: VR_MANGR.BUP in an
// Extended File Entry that starts with unrecorded and unallocated extents
// and ends with zeros beyond its last extent, and VR_STILL.VRO embedded; the
// movie file ends within its last block.
class Files : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        disc = standardDisc();
        nameDirectories(0);
        disc.volume.block(
            5, fileEntry(kMovieBytes, 0,
                         join({shortAd(0, 100 * 2048, 10112 - kVrStart), shortAd(0, 150 * 2048, 10262 - kVrStart)})));
        disc.volume.block(6, extendedFileEntry(kBackupBytes, 1,
                                               join({longAd(1, 3 * 2048, 9990 - kVrStart), longAd(2, 2 * 2048, 0),
                                                     longAd(0, 5 * 2048, 9900 - kVrStart), longAd(2, 2 * 2048, 0),
                                                     longAd(0, 4 * 2048, 9950 - kVrStart)})));
        disc.volume.block(7, fileEntry(5, 3, {'s', 't', 'i', 'l', 'l'}));
        image = disc.write("files.img");
        expected = {
            {"VR_MANGR.IFO", sectorsText(range(8752, 9752))},
            {"VR_MOVIE.VRO",
             (sectorsText(range(10112, 10212)) + sectorsText(range(10262, 10412))).substr(0, kMovieBytes)},
            {"VR_MANGR.BUP", zeros(5 * 2048) + sectorsText(range(9900, 9905)) + zeros(2 * 2048) +
                                 sectorsText(range(9950, 9954)) + zeros(3000)},
            {"VR_STILL.VRO", "still"},
        };
    }
    void TearDown() override { hooks.reset(); }

    // The files a run wrote against `expected`, with the disc sectors `bad`
    // as zeros where a file holds them.
    void expectFiles(const Result& r, const std::vector<std::uint32_t>& bad = {}) const
    {
        for (const auto& [name, bytes] : expected) {
            std::string want = bytes;
            for (const std::uint32_t lba : bad) {
                const std::string sector = sectorsText({lba});
                const std::size_t at = want.find(sector);
                if (at != std::string::npos) {
                    want.replace(at, 2048, zeros(2048));
                }
            }
            EXPECT_TRUE(r.file(name.c_str()) == want) << name << ": " << r.file(name.c_str()).size() << " bytes";
        }
    }

    // The File Set Descriptor's root and every File Identifier name partition
    // `reference`, the movie file's its block `movieBlock` in partition
    // `movieReference` (unless none).
    void nameDirectories(std::uint16_t reference, std::uint32_t movieBlock = 5,
                         std::optional<std::uint16_t> movieReference = std::nullopt)
    {
        const auto named = [&](const char* name, std::uint32_t block) {
            return identifier(name, 0, block, 0, reference);
        };
        disc.volume.block(1, fileSet(2, reference));
        disc.volume.block(
            2, directoryEntry({identifier("", 0x0A, 2, 0, reference), identifier("DVD_RTAV", 2, 3, 0, reference)}));
        disc.volume.block(
            3, directoryEntry({identifier("", 0x0A, 2, 0, reference), named("VR_MANGR.IFO", 4),
                               identifier("VR_MOVIE.VRO", 0, movieBlock, 0, movieReference.value_or(reference)),
                               named("VR_MANGR.BUP", 6), named("VR_STILL.VRO", 7)}));
    }
    static constexpr std::uint64_t kMovieBytes = 250 * 2048 - 700;
    static constexpr std::uint64_t kBackupBytes = 16 * 2048 + 3000;
    // Moves disc sector `from` to `to`, leaving zeros behind.
    void move(std::uint32_t from, std::uint32_t to)
    {
        disc.volume.sectors[to] = disc.volume.sectors.count(from) != 0 ? disc.volume.sectors[from] : Sector(2048);
        disc.volume.sectors[from] = Sector(2048);
    }
    // The Logical Volume Descriptor with `maps`, the File Set Descriptor
    // addressed through map `reference`.
    void setPartitionMaps(const std::vector<Bytes>& maps, std::uint16_t reference)
    {
        Sector lvd = logicalVolume(1);
        const Bytes table = join(maps);
        put16(lvd, 256, reference);
        put32(lvd, 264, static_cast<std::uint32_t>(table.size()));
        put32(lvd, 268, static_cast<std::uint32_t>(maps.size()));
        std::copy(table.begin(), table.end(), lvd.begin() + 440);
        disc.volume.sectors[33] = lvd;
    }
    // A physical map and a virtual one, the File Set Descriptor addressed
    // through the virtual one, whose table (`table[block]`: the physical block)
    // follows the disc's sectors with its File Entry last.
    void useVirtualPartition(const std::vector<std::uint32_t>& table)
    {
        const Bytes physical = {1, 6, 0, 0, 0, 0};
        setPartitionMaps({physical, typeTwoMap("*UDF Virtual Partition")}, 1);
        Bytes vat(152 + 4 * table.size(), 0);
        put16(vat, 0, 152);
        for (std::size_t block = 0; block < table.size(); block++) {
            put32(vat, 152 + 4 * block, table[block]);
        }
        const auto vatSectors = static_cast<std::uint32_t>((vat.size() + 2047) / 2048);
        for (std::uint32_t i = 0; i < vatSectors; i++) {
            Sector part(2048);
            std::copy(vat.begin() + 2048 * i, vat.begin() + std::min<std::size_t>(vat.size(), 2048 * (i + 1)),
                      part.begin());
            disc.volume.sectors[kVrSectors + i] = part;
        }
        Sector vatEntry =
            fileEntry(vat.size(), 0, shortAd(0, static_cast<std::uint32_t>(vat.size()), kVrSectors - kVrStart));
        vatEntry[27] = 248;
        disc.volume.sectors[kVrSectors + vatSectors] = vatEntry;
        disc.volume.total = kVrSectors + vatSectors + 1;
    }
    static Bytes typeTwoMap(const std::string& identifier)
    {
        Bytes map(64, 0);
        map[0] = 2;
        map[1] = 64;
        std::copy(identifier.begin(), identifier.end(), map.begin() + 5);
        return map;
    }

    VrDisc disc;
    std::string image;
    std::vector<std::pair<std::string, std::string>> expected;
};

ImageFault unreadable(std::uint32_t lba)
{
    ImageFault fault;
    fault.opcode = 0x28;
    fault.lba = lba;
    return fault;
}

TEST_F(Files, EveryFileByteForByteInEveryModeAndProfile)
{
    struct Case {
        std::vector<std::string> arguments;
        std::uint16_t profile;
    };
    const std::vector<Case> cases = {
        {{"-f", "IMG"}, 0x0013},
        {{"--files", "IMG"}, 0x0012},
        {{"--keep-going", "-f", "IMG"}, 0x0010},
        {{"--mapfile=files.map", "-f", "IMG"}, 0x0011},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + std::to_string(c.profile));
        hooks.settings.profile = c.profile;
        const Result r = runVrsalvage(image, c.arguments);
        EXPECT_EQ(r.outcome.status, 0) << r.outcome.out;
        EXPECT_NE(r.outcome.out.find("Writing VR_MANGR.BUP\nbytes = " + std::to_string(kBackupBytes) + "\n"),
                  std::string::npos)
            << r.outcome.out;
        expectFiles(r);
    }
}

// The text without the keep-going status lines, whose rates differ from run to run.
std::string withoutStatusLines(const std::string& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] != '\r') {
            out += text[at++];
            continue;
        }
        const std::size_t end = text.find_first_of("\r\n", at + 1);
        at = end == std::string::npos ? text.size() : end;
    }
    return out;
}

// A drive that does not know READ TRACK INFORMATION (ILLEGAL REQUEST, INVALID COMMAND
// OPERATION CODE), as emulated DVD-ROM drives answer: the recorded area from READ CAPACITY,
// the same run as on a drive that knows it.
TEST_F(Files, TheTrackCommandRefusedTheCapacityServes)
{
    ImageFault refused;
    refused.opcode = 0x52;
    refused.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-f", "IMG"}, {"-r", "IMG"}, {"--keep-going", "--mapfile=r.map", "-r", "IMG"}}) {
        SCOPED_TRACE(arguments[arguments.size() - 2]);
        hooks.reset();
        hooks.settings.profile = 0x0010;
        const Result known = runVrsalvage(image, arguments);
        hooks.settings.faults = {refused};
        const Result unknown = runVrsalvage(image, arguments);
        EXPECT_EQ(known.outcome.status, 0) << known.outcome.out;
        EXPECT_EQ(unknown.outcome.status, 0) << unknown.outcome.out;
        EXPECT_EQ(withoutStatusLines(unknown.outcome.out), withoutStatusLines(known.outcome.out));
        for (const char* name : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
            EXPECT_EQ(known.has(name), unknown.has(name)) << name;
            EXPECT_TRUE(known.file(name) == unknown.file(name)) << name;
        }
    }
}

TEST_F(Files, UnreadableSectorsAreZerosMappedAndResumedFilePerFile)
{
    // One in the file that starts with zeros, one in the file cut short.
    const std::vector<std::uint32_t> bad = {9901, 10300};
    for (const std::uint32_t lba : bad) {
        hooks.settings.faults.push_back(unreadable(lba));
    }
    const std::vector<std::string> arguments = {"--mapfile=files.map", "-f", "IMG"};
    const Result damaged = runVrsalvage(image, arguments);
    EXPECT_EQ(damaged.outcome.status, 1) << damaged.outcome.out;
    expectFiles(damaged, bad);
    const std::string map = damaged.file("files.map");
    for (const char* name : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR.BUP"}) {
        EXPECT_NE(map.find(std::string("# vrsalvage file ") + name + " "), std::string::npos) << map;
    }

    hooks.reset();
    const Result resumed = runVrsalvage(image, arguments, damaged.directory);
    EXPECT_EQ(resumed.outcome.status, 0) << resumed.outcome.out;
    expectFiles(resumed);
}

TEST_F(Files, AnExistingFileIsNeverOverwritten)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-f", "IMG"}, {"--keep-going", "-f", "IMG"}}) {
        SCOPED_TRACE(arguments[0]);
        const Result fresh = runVrsalvage(image, {"--version"});
        std::ofstream(fresh.directory + "/VR_MANGR.BUP") << "mine";
        const Result r = runVrsalvage(image, arguments, fresh.directory);
        EXPECT_EQ(r.outcome.status, 255) << r.outcome.out;
        EXPECT_EQ(r.file("VR_MANGR.BUP"), "mine");
    }
}

TEST_F(Files, BlocksReadThroughTheSparingTableAndTheVirtualAllocationTable)
{
    // Sparable: the packet of the volume's structures (blocks 0-31) and one
    // of the movie file's (blocks 10016-10047) lie at their spare locations;
    // what is left in place is zeros.
    Bytes sparable = typeTwoMap("*UDF Sparable Partition");
    sparable[40] = 32;  // packet length
    sparable[42] = 1;   // one Sparing Table, at sector 400
    put32(sparable, 44, 2048);
    put32(sparable, 48, 400);
    Sector table(2048);
    const std::string sparing = "*UDF Sparing Table";
    std::copy(sparing.begin(), sparing.end(), table.begin() + 17);
    // The entries in use come first; one after an unused entry is not read
    // (packet 10048 stays in place).
    put16(table, 48, 4);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> moved = {
        {0, 500}, {10016, 600}, {0xFFFFFFF0u, 540}, {10048, 540}};
    for (std::size_t e = 0; e < moved.size(); e++) {
        put32(table, 56 + 8 * e, moved[e].first);
        put32(table, 60 + 8 * e, moved[e].second);
    }
    const VrDisc plain = disc;
    setPartitionMaps({sparable}, 0);
    disc.volume.sectors[400] = table;
    for (std::uint32_t i = 0; i < 32; i++) {
        move(kVrStart + i, 500 + i);
        move(kVrStart + 10016 + i, 600 + i);
    }
    const Result spared = runVrsalvage(disc.write("sparable.img"), {"-f", "IMG"});
    EXPECT_EQ(spared.outcome.status, 0) << spared.outcome.out;
    expectFiles(spared);

    // Virtual: the File Set Descriptor and the File Entries through the
    // table at the end of the recorded area, each at 7990 blocks further on.
    disc = plain;
    constexpr std::uint32_t kBlocks = kVrSectors - kVrStart;
    std::vector<std::uint32_t> vat(kBlocks);
    for (std::uint32_t block = 0; block < kBlocks; block++) {
        vat[block] = block >= 1 && block <= 7 ? block + 7990 : block;
    }
    nameDirectories(1);
    for (std::uint32_t block = 1; block <= 7; block++) {
        move(kVrStart + block, kVrStart + block + 7990);
    }
    useVirtualPartition(vat);
    const Result virtualRun = runVrsalvage(disc.write("virtual.img"), {"-f", "IMG"});
    EXPECT_EQ(virtualRun.outcome.status, 0) << virtualRun.outcome.out;
    expectFiles(virtualRun);
}

TEST_F(Files, LongAllocationDescriptorsAreReadThroughThePartitionTheyName)
{
    // A virtual partition whose table holds no block of the movie file's
    // data (blocks 10012 on): its long_ads name the physical map (0), the
    // virtual one itself (1) or a map the volume does not have (3).
    constexpr std::uint32_t kBlocks = kVrSectors - kVrStart;
    std::vector<std::uint32_t> table(kBlocks, 0xFFFFFFFFu);
    for (std::uint32_t block = 0; block < 10012; block++) {
        table[block] = block;
    }
    useVirtualPartition(table);
    struct Case {
        std::uint16_t reference;
        int status;
        const char* error;
    };
    for (const Case& c : {Case{0, 0, ""}, Case{1, 255, "block 10162 beyond the Virtual Allocation Table"},
                          Case{3, 255, "bad partition reference 3"}}) {
        disc.volume.block(
            5, fileEntry(kMovieBytes, 1,
                         join({longAd(0, 100 * 2048, 10012, 0), longAd(0, 150 * 2048, 10162, c.reference)})));
        const Result r = runVrsalvage(disc.write("references.img"), {"-f", "IMG"});
        EXPECT_EQ(r.outcome.status, c.status) << c.reference << r.outcome.out;
        if (c.status == 0) {
            expectFiles(r);
        } else {
            EXPECT_NE(r.outcome.out.find(std::string("*** Error!\n") + c.error + "\n"), std::string::npos)
                << r.outcome.out;
        }
    }
}

TEST_F(Files, FileIdentifiersAreFollowedIntoThePartitionTheyName)
{
    // A virtual partition whose table leaves block 8000 out; the movie
    // file's File Entry lies at block 8000 of the physical partition (map 0).
    constexpr std::uint32_t kBlocks = kVrSectors - kVrStart;
    std::vector<std::uint32_t> table(kBlocks);
    for (std::uint32_t block = 0; block < kBlocks; block++) {
        table[block] = block == 8000 ? 0xFFFFFFFFu : block;
    }
    Sector movie = disc.volume.sectors[kVrStart + 5];
    put32(movie, 12, kTagLocationUnset);
    disc.volume.block(8000, movie);
    disc.volume.sectors[kVrStart + 5] = Sector(2048);
    useVirtualPartition(table);
    struct Case {
        std::uint16_t reference;
        const char* error;
    };
    for (const Case& c : {Case{0, ""}, Case{1, "block 8000 beyond the Virtual Allocation Table"},
                          Case{5, "bad partition reference 5"}}) {
        nameDirectories(1, 8000, c.reference);
        image = disc.write("identifiers.img");
        for (const char* mode : {"-f", "-r"}) {
            SCOPED_TRACE(std::string(mode) + " " + std::to_string(c.reference));
            const Result r = runVrsalvage(image, {mode, "IMG"});
            if (*c.error == '\0') {
                EXPECT_EQ(r.outcome.status, 0) << r.outcome.out;
                EXPECT_TRUE(mode[1] == 'r' || r.file("VR_MOVIE.VRO") == expected[1].second);
                EXPECT_TRUE(mode[1] == 'f' ||
                            r.file("VR_MOVIE_R.VRO").substr(0, 50 * 2048) == sectorsText(range(10212, 10262)));
            } else {
                EXPECT_EQ(r.outcome.status, 255);
                EXPECT_NE(r.outcome.out.find(std::string(c.error) + "\n"), std::string::npos) << r.outcome.out;
            }
        }
    }
    // With keep-going the reference to no map costs only that file.
    const Result kept = runVrsalvage(disc.write("identifiers.img"), {"--keep-going", "-f", "IMG"});
    EXPECT_EQ(kept.outcome.status, 1);
    EXPECT_NE(kept.outcome.out.find("? bad partition reference 5 (File Entry of VR_MOVIE.VRO): not copied"),
              std::string::npos)
        << kept.outcome.out;
    EXPECT_TRUE(kept.file("VR_MANGR.IFO") == expected[0].second && !kept.has("VR_MOVIE.VRO"));
}

TEST_F(Files, UnrecordedExtentsOfAVirtualPartitionComeFromWhereTheTableHoldsThem)
{
    // The movie file's File Entry in the virtual partition, its unrecorded
    // blocks 10300-10302 too: the table puts
    // the first and the last at physical blocks 10100 and 10101 of the
    // movie's data (sectors 10200 and 10201) and holds no block for the
    // middle one, which was never written.
    constexpr std::uint32_t kBlocks = kVrSectors - kVrStart;
    std::vector<std::uint32_t> table(kBlocks);
    for (std::uint32_t block = 0; block < kBlocks; block++) {
        table[block] = block;
    }
    table[10300] = 10100;
    table[10301] = 0xFFFFFFFFu;
    table[10302] = 10101;
    disc.volume.block(
        5,
        fileEntry(kMovieBytes, 0,
                  join({shortAd(0, 100 * 2048, 10012), shortAd(0, 150 * 2048, 10162), shortAd(1, 3 * 2048, 10300)})));
    nameDirectories(1);
    useVirtualPartition(table);
    image = disc.write("unrecorded.img");
    // Phase 2 takes the table and its File Entry beyond the partition.
    const std::string want = sectorsText({10200, 10201}) + sectorsText(range(10212, 10262)) +
                             readFile(image).substr(std::size_t{kVrSectors} * 2048);
    for (const char* mode : {"-r", "--keep-going"}) {
        SCOPED_TRACE(mode);
        const Result r = runVrsalvage(image, mode[1] == 'r' ? std::vector<std::string>{"-r", "IMG"}
                                                            : std::vector<std::string>{mode, "-r", "IMG"});
        EXPECT_EQ(r.outcome.status, 0) << r.outcome.out;
        EXPECT_TRUE(r.file("VR_MOVIE_R.VRO") == want) << r.file("VR_MOVIE_R.VRO").size() / 2048 << " sectors";
    }
}

TEST_F(Files, PartitionMapsThatAreNotSupportedAreNamed)
{
    Bytes typeThree(8, 0);
    typeThree[0] = 3;
    typeThree[1] = 8;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {typeTwoMap("*UDF Metadata Partition"), "partition map \"*UDF Metadata Partition\" not supported"},
        {typeThree, "partition map of type 3 not supported"},
    };
    for (const auto& [map, message] : cases) {
        setPartitionMaps({map}, 0);
        for (const char* mode : {"-f", "-r"}) {
            const Result r = runVrsalvage(disc.write("maps.img"), {mode, "IMG"});
            EXPECT_EQ(r.outcome.out, "*** Error!\n" + message + "\n") << mode;
            EXPECT_EQ(r.outcome.status, 255);
        }
    }
}

}  // namespace
