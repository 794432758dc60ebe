// vrsalvage -r on volumes made by other people's tools, the drive reporting
// the medium each volume was made for: the erased real MPEG-2 recording
// reaches the movie recovery file whole, and vrsplit --erased cuts it back
// out as long as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "drive_hooks.h"
#include "vrdisc.h"

#ifndef IMAGES_DIR
#error IMAGES_DIR must name the folder of the third-party images
#endif
#ifndef VRSPLIT_PATH
#error VRSPLIT_PATH must name the vrsplit program
#endif

namespace {

// Standard output of a shell command.
std::string commandOutput(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    return out;
}

double duration(const std::string& file)
{
    return std::atof(
        commandOutput("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'").c_str());
}

struct ImageCase {
    const char* name;
    std::uint16_t profile;  // 0x0012 DVD-RAM, 0x0014 DVD-RW (not the fixed layout's Restricted Overwrite)
};

TEST(ImagesRecovery, ErasedRecordingReachesTheMovieRecoveryFileAndVrsplitCutsItOut)
{
    const bool ffprobe = std::system("ffprobe -version > /dev/null 2>&1") == 0;
    for (const ImageCase& c :
         {ImageCase{"mkudffs-200", 0x0012}, ImageCase{"mkudffs-201", 0x0012}, ImageCase{"mkudffs-dvdrw", 0x0014}}) {
        SCOPED_TRACE(c.name);
        std::ifstream facts(std::string(IMAGES_DIR) + "/" + c.name + ".facts");
        ASSERT_TRUE(facts);
        std::uint32_t start = 0;
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        for (std::string line; std::getline(facts, line);) {
            std::istringstream words(line);
            std::string key;
            words >> key;
            if (key == "partition") {
                words >> start;
            } else if (key == "erased" && count == 0) {
                words >> first >> count;
            }
        }
        ASSERT_NE(count, 0u);
        const std::string image = writeImage(std::string(c.name) + ".img", 0, {});
        ASSERT_EQ(
            std::system(("xz -dc '" + std::string(IMAGES_DIR) + "/" + c.name + ".img.xz' > '" + image + "'").c_str()),
            0);
        const std::string erased = readFile(image).substr(std::size_t{start + first} * 2048, std::size_t{count} * 2048);
        ASSERT_EQ(erased.compare(0, 4, "\x00\x00\x01\xBA", 4), 0) << "not MPEG data";

        DriveHooks hooks;
        hooks.settings.profile = c.profile;
        const Result r = runVrsalvage(image, {"-r", "IMG"});
        hooks.reset();
        EXPECT_EQ(r.outcome.status, 0) << r.outcome.out;
        const std::size_t at = r.file("VR_MOVIE_R.VRO").find(erased);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(at % 2048, 0u);

        const std::string pieces = r.directory + "/erased";
        ASSERT_EQ(std::system((std::string(VRSPLIT_PATH) + " --erased -o '" + pieces + "' '" + r.directory +
                               "/VR_MOVIE_R.VRO' > /dev/null")
                                  .c_str()),
                  0);
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(pieces)) {
            files.push_back(entry.path().string());
        }
        ASSERT_EQ(files.size(), 1u);
        if (ffprobe) {
            std::ofstream(r.directory + "/erased.mpg", std::ios::binary) << erased;
            const double want = duration(r.directory + "/erased.mpg");
            EXPECT_GT(want, 1.0);
            EXPECT_NEAR(duration(files[0]), want, 0.5);
        }
    }
    if (!ffprobe) {
        GTEST_SKIP() << "ffprobe is not installed: durations not compared";
    }
}

}  // namespace
