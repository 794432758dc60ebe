// readFileData gathers the directory data of volumes made by other people's
// tools exactly as their facts (from an independent reader) record it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "mmc.h"
#include "scsi.h"
#include "udf_file.h"

#ifndef IMAGES_DIR
#error IMAGES_DIR must name the folder of the third-party images
#endif

namespace {

struct Directory {
    std::string path;
    std::uint32_t block;
    std::uint32_t tag;
    std::uint32_t length;
    std::uint32_t adType;
    std::string dataFile;
};

std::string decompress(const std::string& name)
{
    const std::string image = writeImage(name + ".img", 0, {});
    const std::string command = "xz -dc '" + std::string(IMAGES_DIR) + "/" + name + ".img.xz' > '" + image + "'";
    if (std::system(command.c_str()) != 0) {
        return "";
    }
    return image;
}

void readAllDirectories(const std::string& name, std::set<std::uint32_t>* forms)
{
    std::ifstream facts(std::string(IMAGES_DIR) + "/" + name + ".facts");
    ASSERT_TRUE(facts) << name;
    std::uint32_t start = 0;
    std::vector<Directory> directories;
    for (std::string line; std::getline(facts, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "partition") {
            words >> start;
        } else if (key == "dir") {
            Directory d;
            words >> d.path >> d.block >> d.tag >> d.length >> d.adType >> d.dataFile;
            directories.push_back(d);
        }
    }
    const std::string image = decompress(name);
    ASSERT_FALSE(image.empty()) << "xz could not unpack " << name;
    Drive drive = Drive::open(image.c_str());
    for (const Directory& d : directories) {
        SCOPED_TRACE(name + " " + d.path);
        const FileEntry entry = readFileEntry(drive, start + d.block);
        EXPECT_EQ(entry.informationLength, d.length);
        std::vector<std::uint8_t> data(d.length + 16, 0xEE);
        Partition partition;
        partition.start = start;
        readFileData(drive, partition, entry, 0, d.length, data.data());
        for (std::size_t i = d.length; i < data.size(); i++) {
            ASSERT_EQ(data[i], 0xEE);
        }
        data.resize(d.length);
        const std::string expected = readFile(std::string(IMAGES_DIR) + "/" + d.dataFile);
        EXPECT_EQ(std::string(data.begin(), data.end()), expected);
        forms->insert(d.adType);
    }
}

TEST(ThirdPartyImages, DirectoryDataMatchesAnIndependentReader)
{
    std::set<std::uint32_t> forms;
    for (const char* name :
         {"mkudffs-102", "mkudffs-200", "mkudffs-201", "mkudffs-dvdrw", "genisoimage-udf", "pycdlib-udf"}) {
        readAllDirectories(name, &forms);
    }
    // The images hold directories in short_ad extents and embedded ones.
    EXPECT_TRUE(forms.count(0) == 1 && forms.count(3) == 1);
}

}  // namespace
