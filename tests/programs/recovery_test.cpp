// vrsalvage -r: the walk to the recording files, the map and the recovery
// files, run in a child process through the emulated drive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "vrdisc.h"
#include "vrsalvage.h"

namespace {

Result salvage(const std::string& image, std::string directory = "")
{
    return runVrsalvage(image, {"-r", "IMG"}, std::move(directory));
}

const std::string kIfoFree = sectorsText(range(9752, 10112));
const std::string kVroFree = sectorsText(range(10212, 10262));

std::string ifoPart(const std::string& progress = fullProgress())
{
    return "IFO Processing\nPhase-1\n" + progress;
}
std::string vroPart(const std::string& progress1 = fullProgress(), const std::string& phase2 = "")
{
    return "VRO Processing\nPhase-1\n" + progress1 + "Phase-2\n" + phase2;
}

class Recovery : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        disc = standardDisc();
    }
    void TearDown() override { hooks.reset(); }
    Result go() { return salvage(disc.write("recovery.img")); }
    void setDirectory(std::uint32_t block, const std::vector<Bytes>& entries)
    {
        disc.volume.block(block, directoryEntry(entries));
    }
    VrDisc disc;
};

TEST_F(Recovery, WritesTheFreeBlocksOfBothAreas)
{
    const Result r = go();
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), kIfoFree);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree);
}

TEST_F(Recovery, FreedSpaceBitmapBlocksAreFreeToo)
{
    // Block 10300 (sector 10400, the movie file's) freed but not erased; the
    // Freed Space Bitmap at block 8000.
    Sector pd = partitionDescriptor(kVrStart, 24 + disc.n, 0);
    put32(pd, 88, 24 + disc.n);
    put32(pd, 92, 8000);
    disc.volume.sectors[32] = pd;
    Bytes freed(disc.n, 0);
    freed[10300 / 8] = static_cast<std::uint8_t>(1u << (10300 % 8));
    const Sector head = spaceBitmap(disc.n, {});
    Sector bitmap(2048);
    std::copy(head.begin(), head.begin() + 24, bitmap.begin());
    std::copy(freed.begin(), freed.end(), bitmap.begin() + 24);
    disc.volume.block(8000, bitmap);
    const std::string image = disc.write("freed.img");
    std::vector<std::uint32_t> movie = range(10212, 10262);
    movie.push_back(10400);
    for (const char* option : {"-r", "--keep-going"}) {
        const Result r = option == std::string("-r") ? salvage(image) : runVrsalvage(image, {option, "-r", "IMG"});
        EXPECT_EQ(r.outcome.status, 0) << option;
        EXPECT_TRUE(r.file("VR_MANGR_R.IFO") == kIfoFree) << option;
        EXPECT_TRUE(r.file("VR_MOVIE_R.VRO") == sectorsText(movie)) << option;
    }
}

TEST_F(Recovery, SpaceTablesNameTheFreeBlocks)
{
    // No bitmap: an Unallocated Space Table at block 6 naming the same free
    // blocks (but its own and block 7's), and maybe a Freed Space Table at
    // block 7 naming block 10300 (sector 10400, the movie file's).
    const Bytes free = join({shortAd(0, 8644 * 2048, 8), shortAd(0, 360 * 2048, 9652), shortAd(0, 50 * 2048, 10112)});
    const Bytes beyond = join({free, shortAd(0, 2 * 2048, kVrSectors - kVrStart - 1)});
    struct Case {
        const char* name;
        Bytes unallocated;
        std::optional<Bytes> freed;
        int status;        // with -r alone; with --keep-going, 1 where it is not 0
        std::string loss;  // the keep-going notice(s)
        std::string ifo, vro;
    };
    std::vector<std::uint32_t> withFreed = range(10212, 10262);
    withFreed.push_back(10400);
    const std::string bad = "bad Unallocated Space Table (sector 106)";
    const std::vector<Case> cases = {
        {"table", free, std::nullopt, 0, "", kIfoFree, kVroFree},
        {"freed table", free, shortAd(0, 2048, 10300), 0, "", kIfoFree, sectorsText(withFreed)},
        {"extent beyond the partition", beyond, std::nullopt, 255, "? " + bad + ": VR_MANGR_R.IFO not written\n", "",
         ""},
        {"damaged freed table", free, shortAd(0, 2048, 10300 + 200), 0,
         "? bad Freed Space Table (sector 107): its blocks are not copied\n", kIfoFree, kVroFree},
    };
    for (const Case& c : cases) {
        Sector pd = partitionDescriptor(kVrStart);
        put32(pd, 192, kVrSectors - kVrStart);
        put32(pd, 56, 2048);
        put32(pd, 60, 6);
        disc.volume.block(6, spaceTable(c.unallocated));
        if (c.freed) {
            put32(pd, 80, 2048);
            put32(pd, 84, 7);
            disc.volume.block(7, spaceTable(*c.freed));
        }
        disc.volume.sectors[32] = pd;
        const std::string image = disc.write("table.img");
        const Result plain = salvage(image);
        EXPECT_EQ(plain.outcome.status, c.status) << c.name << plain.outcome.out;
        const Result kept = runVrsalvage(image, {"--keep-going", "-r", "IMG"});
        EXPECT_EQ(kept.outcome.status, c.loss.empty() ? 0 : 1) << c.name;
        EXPECT_EQ(kept.outcome.out.find(c.loss) != std::string::npos, true) << c.name << kept.outcome.out;
        for (const Result* r : {&plain, &kept}) {
            EXPECT_TRUE(r->file("VR_MANGR_R.IFO") == c.ifo) << c.name;
            EXPECT_TRUE(r->file("VR_MOVIE_R.VRO") == c.vro) << c.name;
        }
        if (c.status != 0) {
            EXPECT_NE(plain.outcome.out.find("  " + bad + "\n"), std::string::npos) << plain.outcome.out;
        }
    }
}

TEST_F(Recovery, SecondRunStopsAtTheFirstExistingFile)
{
    const std::string image = disc.write("twice.img");
    const Result first = salvage(image);
    const Result second = salvage(image, first.directory);
    EXPECT_EQ(second.outcome.out, "IFO Processing\n  *** Error!\n  can't open file\n");
    EXPECT_EQ(second.outcome.status, 255);
    EXPECT_EQ(second.file("VR_MANGR_R.IFO"), kIfoFree);
    EXPECT_EQ(second.file("VR_MOVIE_R.VRO"), kVroFree);
}

TEST_F(Recovery, WalkOrderFollowsTheDirectory)
{
    // The movie file's entry first; both in the root, no DVD_RTAV.
    setDirectory(2, {parentIdentifier(2), identifier("VR_MOVIE.VRO", 0, 5), identifier("VR_MANGR.IFO", 0, 4)});
    const Result r = go();
    EXPECT_EQ(r.outcome.out, vroPart() + ifoPart() + "completed\n");
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), kIfoFree);
}

TEST_F(Recovery, NeitherFileWritesNothing)
{
    // Names that differ in the 12th byte only, or in case, are other files.
    setDirectory(3, {parentIdentifier(2), identifier("VR_MANGR.IFX", 0, 4), identifier("VR_MOVIE.VRx", 0, 5),
                     identifier("VR_MANGR.BUP", 0, 4), identifier("vr_movie.vro", 0, 5)});
    const Result r = go();
    EXPECT_EQ(r.outcome.out, "completed\n");
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_FALSE(r.has("VR_MANGR_R.IFO"));
    EXPECT_FALSE(r.has("VR_MOVIE_R.VRO"));
}

TEST_F(Recovery, FirstEntryOfANameWinsEvenWhenDeleted)
{
    // A second File Entry of each file (blocks 6 and 7) marks one more block
    // as allocated but not recorded; only the entry met first counts, a
    // deleted one (characteristic 4) included.
    disc.volume.block(
        6, fileEntry(0, 0, join({shortAd(0, 100 * 2048, 10112 - kVrStart), shortAd(1, 2048, 10300 - kVrStart)})));
    disc.volume.block(
        7, fileEntry(0, 0, join({shortAd(0, 100 * 2048, 8752 - kVrStart), shortAd(1, 2048, 9000 - kVrStart)})));
    std::vector<std::uint32_t> movieWithExtra = range(10212, 10262);
    movieWithExtra.push_back(10300);
    std::vector<std::uint32_t> managementWithExtra = {9000};
    const std::vector<std::uint32_t> managementFree = range(9752, 10112);
    managementWithExtra.insert(managementWithExtra.end(), managementFree.begin(), managementFree.end());
    struct Case {
        std::vector<Bytes> entries;
        std::string management;
        std::string movie;
    };
    const std::vector<Case> cases = {
        {{identifier("VR_MANGR.IFO", 0, 4), identifier("VR_MOVIE.VRO", 4, 6), identifier("VR_MOVIE.VRO", 0, 5)},
         kIfoFree,
         sectorsText(movieWithExtra)},
        {{identifier("VR_MANGR.IFO", 4, 7), identifier("VR_MANGR.IFO", 0, 4), identifier("VR_MOVIE.VRO", 0, 5)},
         sectorsText(managementWithExtra),
         kVroFree},
        {{identifier("VR_MANGR.IFO", 0, 4), identifier("VR_MANGR.IFO", 0, 7), identifier("VR_MOVIE.VRO", 0, 5)},
         kIfoFree,
         kVroFree},
    };
    for (std::size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(i);
        std::vector<Bytes> entries = {parentIdentifier(2)};
        entries.insert(entries.end(), cases[i].entries.begin(), cases[i].entries.end());
        setDirectory(3, entries);
        const Result r = go();
        EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
        EXPECT_EQ(r.file("VR_MANGR_R.IFO"), cases[i].management);
        EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), cases[i].movie);
    }
}

TEST_F(Recovery, EnclosingDirectoriesGoOnToTheirNextFileEntry)
{
    // Root: DVD_RTAV (both files), A (damaged data: says so), a file, B
    // (damaged, never read). A name that merely starts with the 12 bytes
    // matches too.
    disc.volume.block(20, directoryEntry({Bytes(64, 0x11)}));
    disc.volume.block(21, directoryEntry({Bytes(64, 0x22)}));
    setDirectory(2, {parentIdentifier(2), identifier("DVD_RTAV", 2, 3), identifier("A", 2, 20),
                     identifier("README", 0, 4), identifier("B", 2, 21)});
    setDirectory(3, {parentIdentifier(2), identifier("VR_MANGR.IFO;1", 0, 4), identifier("VR_MOVIE.VRO", 0, 5),
                     identifier("C", 2, 21)});
    const Result r = go();
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "  ? Not File Entry\n\ncompleted\n");
}

TEST_F(Recovery, SpareBytesAfterTheLastEntry)
{
    Bytes entries = join({parentIdentifier(2), identifier("VR_MANGR.IFO", 0, 4)});
    Bytes fewer = entries;
    fewer.resize(entries.size() + 37, 0x33);
    setDirectory(3, {fewer});
    EXPECT_EQ(go().outcome.out, ifoPart() + "completed\n");
    Bytes more = entries;
    more.resize(entries.size() + 38, 0x33);
    setDirectory(3, {more});
    EXPECT_EQ(go().outcome.out, ifoPart() + "  ? Not File Entry\n\ncompleted\n");
}

TEST_F(Recovery, DirectoryDataThroughAllocationDescriptors)
{
    // DVD_RTAV's data in two extents, one of them in a continuation, with
    // L_IU in the entries: they are skipped.
    Bytes entries =
        join({parentIdentifier(2), identifier("VR_MANGR.IFO", 0, 4, 32), identifier("VR_MOVIE.VRO", 0, 5, 6)});
    entries.resize(2048 + 100, 0);
    Sector first(entries.begin(), entries.begin() + 2048);
    Sector second(entries.begin() + 2048, entries.end());
    disc.volume.block(30, first);
    disc.volume.block(31, second);
    disc.volume.block(32, allocationExtent(longAd(0, 100, 31)));
    disc.volume.block(3, fileEntry(entries.size(), 1, join({longAd(0, 2048, 30), longAd(3, 40, 32)})));
    const Result r = go();
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree);
}

TEST_F(Recovery, HostileDirectoryTrees)
{
    // A directory that names the root again, and one that names itself.
    setDirectory(2, {parentIdentifier(2), identifier("LOOP", 2, 2), identifier("DVD_RTAV", 2, 3)});
    setDirectory(3, {parentIdentifier(2), identifier("SELF", 2, 3), identifier("VR_MANGR.IFO", 0, 4)});
    EXPECT_EQ(go().outcome.out, "  ? Directory loop\n\n    ? Directory loop\n\n" + ifoPart() + "completed\n");

    // A chain of 70 directories, each inside the last.
    for (std::uint32_t i = 0; i < 70; i++) {
        setDirectory(300 + i, {parentIdentifier(2), identifier("D", 2, 301 + i)});
    }
    setDirectory(2, {parentIdentifier(2), identifier("D", 2, 300), identifier("VR_MANGR.IFO", 0, 4)});
    const Result deep = go();
    EXPECT_EQ(deep.outcome.status, 0);
    EXPECT_EQ(deep.outcome.out, std::string(2 * 65, ' ') + "? Directory tree too deep\n\n" + ifoPart() + "completed\n");

    // Entries that run past the end of the data, and data too short for one.
    // With its head and 12 name bytes inside, the entry still counts.
    Bytes cut = join({parentIdentifier(2), identifier("VR_MANGR.IFO", 0, 4)});
    cut[40 + 19] = 200;  // L_FI of the entry after the 40-byte parent entry runs past the end
    setDirectory(2, {cut});
    const Result named = go();
    EXPECT_EQ(named.outcome.out, ifoPart() + "? Not File Entry\n\ncompleted\n");
    EXPECT_EQ(named.file("VR_MANGR_R.IFO"), kIfoFree);
    cut[40 + 19] = 12;
    cut[40 + 36] = 3;  // L_IU: the name's last 2 bytes lie past the end
    setDirectory(2, {cut});
    EXPECT_EQ(go().outcome.out, "? Not File Entry\n\ncompleted\n");
    setDirectory(2, {Bytes(37, 0x01)});
    EXPECT_EQ(go().outcome.out, "completed\n");
    disc.volume.block(2, fileEntry(0, 0, shortAd(0, 2048, 40)));  // no data at all
    EXPECT_EQ(go().outcome.out, "completed\n");
    // Beyond the 64 MiB that one directory may hold: skipped before any allocation.
    disc.volume.block(2, fileEntry(0x100000000ull, 3, {}));
    EXPECT_EQ(go().outcome.out, "? Directory data too long\n\ncompleted\n");
    disc.volume.block(2, fileEntry(64u * 1024 * 1024 + 1, 0, shortAd(0, 0x3FFFF800, 40)));
    EXPECT_EQ(go().outcome.out, "? Directory data too long\n\ncompleted\n");
}

TEST_F(Recovery, DirectoryDataHeldAtOnceIsBounded)
{
    // The root's 40 MiB of data are held while its subdirectory is read; the
    // subdirectory's 30 MiB more would pass 64 MiB: it is skipped, and the
    // walk goes on to the recording file after it.
    const std::uint32_t mib = 1024 * 1024;
    disc.volume.total = 40000;
    const Bytes entries = join({parentIdentifier(2), identifier("D", 2, 30), identifier("VR_MANGR.IFO", 0, 4)});
    disc.volume.block(40, Sector(entries.begin(), entries.end()));
    disc.volume.block(2, fileEntry(40 * mib, 0, shortAd(0, 40 * mib, 40)));
    disc.volume.block(30, fileEntry(30 * mib, 0, shortAd(0, 30 * mib, 40)));
    const Result r = go();
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "  ? Directory data too long\n\n" + ifoPart() + "? Not File Entry\n\ncompleted\n");
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), kIfoFree);
    // 20 MiB fit: the subdirectory's data (the same entries, so D names
    // itself, then zeros) is read and walked, and so is the rest of the root.
    disc.volume.block(30, fileEntry(20 * mib, 0, shortAd(0, 20 * mib, 40)));
    EXPECT_EQ(go().outcome.out,
              "    ? Directory loop\n\n" + ifoPart() + "  ? Not File Entry\n\n? Not File Entry\n\ncompleted\n");
}

TEST_F(Recovery, DirectoryDataReadInOneWalkIsBounded)
{
    // Twenty entries name the same directory of 4 MiB (zeros): it is read
    // for each until 64 MiB were read in all, then skipped for the rest.
    std::vector<Bytes> entries{parentIdentifier(2)};
    for (int i = 0; i < 20; i++) {
        entries.push_back(identifier("SAME" + std::to_string(i), 2, 30));
    }
    setDirectory(2, entries);
    disc.volume.block(30, fileEntry(4u << 20, 0, shortAd(0, 4u << 20, 40)));
    std::string expected;
    for (int i = 0; i < 15; i++) {
        expected += "  ? Not File Entry\n\n";
    }
    for (int i = 15; i < 20; i++) {
        expected += "  ? Too much directory data read\n\n";
    }
    const Result r = go();
    EXPECT_EQ(r.outcome.out, expected + "completed\n");
    EXPECT_EQ(r.outcome.status, 0);
}

TEST_F(Recovery, MapExtentIsReadNoFurtherThan8MiB)
{
    // A bitmap extent of 1 GiB on a disc of 10412 sectors: only its first
    // 8 MiB are read, and the map is used as far as Number of Bytes says.
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 0x3FFFFFFF, 0);
    const Result r = go();
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), kIfoFree);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree);
}

TEST_F(Recovery, NoMapNoRecoveryFile)
{
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 0, 0);
    Result r = go();
    EXPECT_EQ(r.outcome.out, "IFO Processing\nno MapVRO Processing\nno Mapcompleted\n");
    EXPECT_FALSE(r.has("VR_MANGR_R.IFO"));
    EXPECT_FALSE(r.has("VR_MOVIE_R.VRO"));
    // The extent type bits alone make no length.
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 0xC0000000u, 0);
    EXPECT_EQ(go().outcome.out, "IFO Processing\nno MapVRO Processing\nno Mapcompleted\n");
    // With a length, the type bits are ignored.
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 0x40000000u | (24 + disc.n), 0);
    r = go();
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree);
}

TEST_F(Recovery, TailBeyondTheMap)
{
    // The map covers blocks 0 to 8 n - 1 = 10199: sectors up to 10299.
    disc.n = 10200 / 8;
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 24 + disc.n, 0);
    DriveHookSettings& settings = hooks.settings;
    settings.lastRecordedAddress = 10349;
    settings.nextWritableAddress = 10380;
    settings.trackSize = 10400;
    settings.lraValid = true;
    settings.nwaValid = true;
    const std::string image = disc.write("tail.img");
    const std::string phase1 = sectorsText(range(10212, 10262));
    // 50 blocks: the share jumps by 2 a block and is shown at 6, 12, ...
    const std::string phase2Progress =
        "6 %\r12 %\r18 %\r24 %\r30 %\r36 %\r42 %\r48 %\r54 %\r60 %\r66 %\r72 %\r78 %\r84 %\r90 %\r96 %\r";

    Result r = salvage(image);  // LRA: tail of 50 blocks, sectors 10300-10349
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart(fullProgress(), phase2Progress) + "completed\n");
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), phase1 + sectorsText(range(10300, 10350)));
    settings.lraValid = false;  // NWA: up to 10379
    r = salvage(image);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), phase1 + sectorsText(range(10300, 10380)));
    settings.nwaValid = false;  // the track size: up to 10399
    r = salvage(image);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), phase1 + sectorsText(range(10300, 10400)));
    settings.trackSize = 10300;  // the recorded area ends with the map: no tail
    r = salvage(image);
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), phase1);
    // It ends inside the map: Phase 1 still reads the map's free blocks to
    // its end, and one that cannot be read ends the run as anywhere else.
    settings.trackSize = 10230;
    r = salvage(image);
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), phase1);
    ImageFault unreadable;
    unreadable.lba = 10240;
    settings.faults = {unreadable};
    r = salvage(image);
    EXPECT_EQ(r.outcome.status, 255);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), sectorsText(range(10212, 10240)));
}

TEST_F(Recovery, TrackNumberWithAHighByte)
{
    hooks.settings.lastTrack = 300;
    hooks.settings.record = true;
    const std::string image = disc.write("track300.img");
    const ChildOutcome outcome = runChild([&] {
        if (chdir(freshDirectory().c_str()) != 0) {
            std::exit(99);
        }
        recoverReusableAreas(image.c_str(), RunOptions{});
        for (const ReceivedCommand& command : hooks.log) {
            if (command.cdb[0] == 0x52) {
                std::printf("track %u\n", (command.cdb[4] << 8) | command.cdb[5]);
            }
        }
    });
    EXPECT_EQ(outcome.status, 0);
    // The map is read afresh for each file: two questions, both for 300.
    EXPECT_NE(outcome.out.find("track 300\ntrack 300\n"), std::string::npos);
}

TEST_F(Recovery, UnrecordedExtentsAreReusable)
{
    // The management file: 2.5 blocks unrecorded (two marked), then less
    // than a block (none), in each descriptor form; a remainder of L_AD is
    // ignored.
    const std::uint32_t a = 9000 - kVrStart;
    const std::uint32_t b = 9100 - kVrStart;
    for (std::uint32_t form = 0; form < 3; form++) {
        const auto ad = [&](std::uint32_t type, std::uint32_t length, std::uint32_t block) {
            return form == 0   ? shortAd(type, length, block)
                   : form == 1 ? longAd(type, length, block)
                               : extAd(type, length, block);
        };
        Bytes list = join({ad(0, 248 * 2048, 8752 - kVrStart), ad(1, 5 * 1024, a), ad(1, 2047, b)});
        list.resize(list.size() + 4, 0xFF);
        disc.volume.block(4, fileEntry(0, form, list));
        const Result r = go();
        std::vector<std::uint32_t> lbas = {9000, 9001};
        const std::vector<std::uint32_t> rest = range(9752, 10112);
        lbas.insert(lbas.end(), rest.begin(), rest.end());
        EXPECT_EQ(r.file("VR_MANGR_R.IFO"), sectorsText(lbas)) << form;
        // Marks made for the management file never reach the movie file.
        EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree) << form;
    }
}

TEST_F(Recovery, UnrecordedExtentsThroughAContinuation)
{
    disc.volume.block(40, allocationExtent(join({shortAd(1, 2048, 10400 - kVrStart), shortAd(3, 2048, 41)})));
    disc.volume.block(41, allocationExtent(shortAd(1, 4096, 10150 - kVrStart)));
    disc.volume.block(5, fileEntry(0, 0,
                                   join({shortAd(0, 100 * 2048, 10112 - kVrStart), shortAd(3, 48, 40),
                                         shortAd(1, 2048, 10111 - kVrStart)})));
    const Result r = go();
    EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
    std::vector<std::uint32_t> lbas = {10150, 10151};
    const std::vector<std::uint32_t> erased = range(10212, 10262);
    lbas.insert(lbas.end(), erased.begin(), erased.end());
    lbas.push_back(10400);
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), sectorsText(lbas));
}

TEST_F(Recovery, EmbeddedAndBadDescriptorTypes)
{
    disc.volume.block(4, fileEntry(10, 3, Bytes(10, 'x')));
    Result r = go();
    EXPECT_EQ(r.outcome.out, "IFO Processing\n" + vroPart() + "completed\n");
    EXPECT_FALSE(r.has("VR_MANGR_R.IFO"));
    disc.volume.block(4, fileEntry(10, 6, Bytes(8, 0)));
    r = go();
    EXPECT_EQ(r.outcome.out, "IFO Processing\n  *** Error!\n  bad AD Type\n");
    EXPECT_EQ(r.outcome.status, 255);
    EXPECT_FALSE(r.has("VR_MANGR_R.IFO"));
}

TEST_F(Recovery, HostileMapsAndListsStayInBounds)
{
    // An unrecorded extent far beyond the map, a map that claims more bytes
    // than its extent holds, and a continuation that names itself.
    disc.volume.block(4,
                      fileEntry(0, 0, join({shortAd(1, 0x3FFFF800, 0xFFF00000u), shortAd(1, 2048, 9010 - kVrStart)})));
    Sector bitmap = disc.volume.sectors[kVrStart];
    disc.writeBitmap();
    put32(disc.volume.sectors[kVrStart], 20, 0x7FFFFFFF);
    std::string image = disc.volume.write("claims.img");
    Result r = salvage(image);
    EXPECT_EQ(r.outcome.status, 0);
    std::vector<std::uint32_t> lbas = {9010};
    const std::vector<std::uint32_t> rest = range(9752, 10112);
    lbas.insert(lbas.end(), rest.begin(), rest.end());
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), sectorsText(lbas));
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), kVroFree);

    disc = standardDisc();
    disc.volume.block(40, allocationExtent(shortAd(3, 2048, 40)));
    disc.volume.block(5, fileEntry(0, 0, shortAd(3, 2048, 40)));
    r = go();
    EXPECT_EQ(r.outcome.out, ifoPart() + "VRO Processing\n  *** Error!\n  too many allocation extents\n");
    EXPECT_FALSE(r.has("VR_MOVIE_R.VRO"));

    disc = standardDisc();
    Sector fe = fileEntry(0, 0, shortAd(0, 2048, 10112 - kVrStart));
    put32(fe, 168, 4000);
    disc.volume.block(5, fe);
    EXPECT_EQ(go().outcome.out,
              ifoPart() + "VRO Processing\n  *** Error!\n  allocation descriptors beyond the File Entry\n");
}

TEST_F(Recovery, ManagementBlocksBeyondTheMapAreNotReusable)
{
    // The map covers blocks up to 9799 (sectors up to 9899): of the free
    // management sectors 9752-10111 only 9752-9899 are known to be free.
    disc.n = 9800 / 8;
    disc.volume.sectors[32] = partitionDescriptor(kVrStart, 24 + disc.n, 0);
    const Result r = go();
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), sectorsText(range(9752, 9900)));
    // The movie area lies wholly beyond the map: its recorded blocks are the tail.
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), sectorsText(range(9900, kVrSectors)));
}

}  // namespace

namespace {

// Every DVD-VR profile is salvaged. Only a DVD-RW in Restricted Overwrite
// mode has the fixed areas; on another disc the management file's recovery
// file takes every free block before the movie file's lowest block (here the
// free blocks from sector 106 on), the movie file's the rest.
TEST_F(Recovery, EveryDvdVrProfile)
{
    // The movie file's extents listed out of order: its lowest block counts.
    disc.volume.block(
        5, fileEntry(250 * 2048, 0,
                     join({shortAd(0, 150 * 2048, 10262 - kVrStart), shortAd(0, 100 * 2048, 10112 - kVrStart)})));
    const std::string image = disc.write("profiles.img");
    const std::string allIfoFree = readFile(image).substr(106 * 2048, (8752 - 106) * 2048) + kIfoFree;
    for (const std::uint16_t profile : std::vector<std::uint16_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}) {
        SCOPED_TRACE(profile);
        hooks.settings.profile = profile;
        const Result r = salvage(image);
        EXPECT_EQ(r.outcome.status, 0);
        EXPECT_EQ(r.outcome.out, ifoPart() + vroPart() + "completed\n");
        EXPECT_TRUE(r.file("VR_MANGR_R.IFO") == (profile == 0x0013 ? kIfoFree : allIfoFree))
            << r.file("VR_MANGR_R.IFO").size() / 2048 << " sectors";
        EXPECT_TRUE(r.file("VR_MOVIE_R.VRO") == kVroFree) << r.file("VR_MOVIE_R.VRO").size() / 2048 << " sectors";
    }
    const std::vector<std::pair<std::uint16_t, std::string>> refused = {
        {0x000A, "Not a DVD-VR disc: profile 0x000A (CD-RW)"},
        {0x0017, "Not a DVD-VR disc: profile 0x0017 (?)"},
        {0x001A, "Not a DVD-VR disc: profile 0x001A (DVD+RW)"},
        {0x0000, "No disk"},
    };
    for (const auto& [profile, message] : refused) {
        hooks.settings.profile = profile;
        for (const char* mode : {"-r", "-f"}) {
            const Result r = runVrsalvage(image, {mode, "IMG"});
            EXPECT_EQ(r.outcome.out, "*** Error!\n" + message + "\n") << mode;
            EXPECT_EQ(r.outcome.status, 255);
            EXPECT_FALSE(r.has("VR_MANGR_R.IFO") || r.has("VR_MANGR.IFO"));
        }
    }
}

}  // namespace
