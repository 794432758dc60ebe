// The recordings run on discs the fixed layout does not describe, on each profile a
// DVD-VR disc may be reported with, and with a management file that cannot be used beside
// a good backup copy: every one gives the sample disc's recordings, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "drive_hooks.h"
#include "platform/image_drive.h"
#include "recordings_run.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The sample disc, and the same recordings laid out elsewhere: the two management files
// and the movie file in one extent each away from the fixed places, the erased recording
// in free blocks after the movie file, the older management copy before it.
class EveryDisc : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    static void SetUpTestSuite()
    {
        work = fs::temp_directory_path() / ("every-disc-" + std::to_string(::getpid()));
        fs::create_directories(work);
        ASSERT_EQ(std::system(("bash " SAMPLE_SCRIPT " " + work.string() + " " MKVRDISC " > /dev/null").c_str()), 0);
        const std::string sample = readFile(work / "sample.recipe");
        // The sample's volume and recordings, without its files.
        const std::string volume = std::regex_replace(sample, std::regex("(^|\n)(file|extent|erased) [^\n]*"), "");
        build("fixed", sample);
        // The movie file keeps the erased recording's place, as the sample's does.
        const auto sectors = [](const char* name) { return (fs::file_size(work / name) + 2047) / 2048; };
        const std::uint64_t kept = sectors("sample-kept-1.vob"), hole = sectors("sample-erased.vob");
        build("moved", volume +
                           "file /DVD_RTAV/VR_MANGR.IFO content=mangr at=3000\n"
                           "file /DVD_RTAV/VR_MANGR.BUP content=mangr at=3010\n"
                           "file /DVD_RTAV/VR_MOVIE.VRO content=file:sample-movie.vob\n"
                           "extent 0 12000 " +
                           std::to_string(kept) +
                           "s\n"
                           "extent 2 - " +
                           std::to_string(hole) +
                           "s\n"
                           "extent 0 " +
                           std::to_string(12000 + kept + hole) + " " +
                           std::to_string(fs::file_size(work / "sample-kept-2.vob")) +
                           "\n"
                           "erased 14000 content=file:sample-erased.vob\n"
                           "erased 8760 content=file:sample-old.ifo\n");
        // The backup copy inside the fixed management area; the first copy's movie file
        // table pointer out of the file.
        build("damaged", sample +
                             "file /DVD_RTAV/VR_MANGR.BUP content=mangr at=9000\n"
                             "patch 8752 256 FFFFFFFF\n");
    }
    static void TearDownTestSuite() { fs::remove_all(work); }
    void TearDown() override { hooks.reset(); }

    static void build(const std::string& name, const std::string& recipe)
    {
        writeFile(work / (name + ".recipe"), recipe);
        const std::string command =
            MKVRDISC " " + (work / (name + ".recipe")).string() + " " + (work / (name + ".img")).string();
        ASSERT_EQ(std::system(command.c_str()), 0) << recipe;
    }

    // The disc sectors of a file's extents, by the builder's record of the image.
    static std::vector<std::pair<std::uint64_t, std::uint64_t>> extentsOf(const std::string& image,
                                                                          const std::string& file)
    {
        const std::string record = readFile(work / (image + ".img.record"));
        std::smatch match;
        std::regex_search(record, match, std::regex("partition (\\d+)"));
        const std::uint64_t start = std::stoull(match[1]);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
        const std::regex extent("extent /DVD_RTAV/" + file + " 0 (\\d+) (\\d+)");
        for (auto it = std::sregex_iterator(record.begin(), record.end(), extent); it != std::sregex_iterator(); ++it)
            extents.emplace_back(start + std::stoull((*it)[1]), (std::stoull((*it)[2]) + 2047) / 2048);
        return extents;
    }

    static pipeline::RecordingsOutcome run(const std::string& image, const std::string& folder)
    {
        pipeline::RecordingsSink sink;
        sink.stage = [](const std::string&) {};
        pipeline::RecordingsSettings settings;
        settings.folder = (work / folder).string();
        settings.version = "test";
        return pipeline::runRecordings((work / (image + ".img")).c_str(), settings, sink);
    }

    static fs::path work;
};

fs::path EveryDisc::work;

TEST_F(EveryDisc, EachLayoutAndProfileGivesTheSampleRecordings)
{
    const std::vector<std::string> sources = {"sample-kept-1.vob", "sample-kept-2.vob", "sample-erased.vob"};
    struct Case {
        const char* image;
        std::uint16_t profile;
        std::int64_t unreadable;  // a sector of the management file; -1: none
        const char* note;         // the start of the report's note on the management file; "": none
    };
    const std::vector<Case> cases = {
        {"fixed", 0x0013, -1, ""},
        {"fixed", 0x0010, -1, ""},  // the sample through the file system
        {"moved", 0x0013, -1, ""},  // the signatures are missing: through the file system
        {"moved", 0x0010, -1, ""},
        {"moved", 0x0011, -1, ""},
        {"moved", 0x0014, -1, ""},
        {"moved", 0x0011, 3000, "VR_MANGR.IFO cannot be used (1 of its sectors could not be read)"},
        {"damaged", 0x0013, -1, "VR_MANGR.IFO cannot be used (header at offset 256"},
        {"damaged", 0x0013, 8752, "VR_MANGR.IFO cannot be used (1 of its sectors could not be read)"},
    };
    std::vector<pipeline::RecordingEntry> first;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.image) + " profile " + std::to_string(c.profile) + " unreadable " +
                     std::to_string(c.unreadable));
        hooks.reset();
        hooks.settings.profile = c.profile;
        if (c.unreadable >= 0) {
            const std::uint64_t bad = static_cast<std::uint64_t>(c.unreadable) * 2048;
            std::ostringstream map;
            map << "# injected\n0x0 +\n0x0 " << bad << " +\n"
                << bad << " 2048 -\n"
                << bad + 2048 << " " << 16384 * 2048 - bad - 2048 << " +\n";
            writeFile(work / "faults.map", map.str());
            std::string problem;
            ASSERT_TRUE(imageDriveUseMapfile((work / "faults.map").c_str(), &problem)) << problem;
        }
        const std::string folder = "out" + std::to_string(i);
        const pipeline::RecordingsOutcome outcome = run(c.image, folder);
        EXPECT_EQ(outcome.everythingRead, c.unreadable < 0);
        const std::string json = readFile(work / folder / "report.json");
        char profile[16];
        std::snprintf(profile, sizeof profile, "0x%04X)", c.profile);
        EXPECT_NE(json.find(profile), std::string::npos) << "the medium names the profile";
        EXPECT_NE(json.find(*c.note ? c.note : "everything was read"), std::string::npos);
        EXPECT_EQ(json.find("cannot be used") != std::string::npos, *c.note != '\0');
        ASSERT_EQ(outcome.recordings.size(), sources.size());
        for (std::size_t k = 0; k < sources.size(); ++k) {
            const pipeline::RecordingEntry& entry = outcome.recordings[k];
            EXPECT_EQ(entry.erased, k == 2);
            EXPECT_TRUE(readFile(work / folder / entry.file) == readFile(work / sources[k])) << entry.file;
            if (!first.empty()) {
                EXPECT_EQ(entry.title, first[k].title);
                EXPECT_EQ(entry.recordedAt, first[k].recordedAt);
            }
        }
        if (first.empty())
            first = outcome.recordings;
        // The map shows the files where the file system put them.
        for (const auto& fileKind : {std::pair{"VR_MANGR.IFO", pipeline::AreaKind::Management},
                                     std::pair{"VR_MOVIE.VRO", pipeline::AreaKind::Movie}}) {
            const char* file = fileKind.first;
            const pipeline::AreaKind kind = fileKind.second;
            for (const auto& extent : extentsOf(c.image, file)) {
                const std::uint64_t sector = extent.first, count = extent.second;
                const bool shown = std::any_of(outcome.areas.begin(), outcome.areas.end(), [&](const auto& area) {
                    return area.kind == kind && area.first <= sector && sector + count <= area.first + area.count;
                });
                EXPECT_TRUE(shown) << file << " at " << sector;
            }
        }
    }
}

}  // namespace
