// The output-file functions of the support layer on the Windows platform
// file, for run-wine-tests.sh: output files are created new and never
// overwritten, and what OutputFile::write writes arrives byte for byte.
//
//   file_seam_test write NAME    creates NAME and writes a 1 MiB ramp (byte i
//                                is i mod 256) in pieces of 0, 1, 255, 2048
//                                and the remaining bytes
//   file_seam_test exists NAME   NAME exists: shows why creating it anew
//                                fails, then ends through OutputFile::createNew
//   file_seam_test input NAME    opens NAME through OutputFile::openExisting
//
// The fatal paths print the programs' error text and end with status -1.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "report.h"
#include "support.h"

namespace {

constexpr std::uint32_t kRampLength = 1u << 20;

int writeRamp(const char* name)
{
    std::vector<std::uint8_t> data(kRampLength);
    for (std::uint32_t i = 0; i < kRampLength; i++) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    OutputFile file = OutputFile::createNew(name);
    // Every piece must land right after the one before it; the ramp holds
    // 0x0A and 0x1A, which a text-mode write would change.
    const std::uint32_t cuts[] = {0, 0, 1, 256, 2304, kRampLength};
    for (std::size_t i = 0; i + 1 < sizeof cuts / sizeof cuts[0]; i++) {
        file.write(data.data() + cuts[i], cuts[i + 1] - cuts[i]);
    }
    std::printf("written %u bytes\n", static_cast<unsigned>(kRampLength));
    return 0;
}

int createOverExisting(const char* name)
{
    FileHandle file = nullptr;
    if (platformCreateNewFile(name, &file)) {
        platformCloseFile(file);
        std::printf("created a file that exists\n");
        return 1;
    }
    std::printf("create error code = %u\n", static_cast<unsigned>(platformLastError()));
    OutputFile::createNew(name);
    std::printf("opened an existing file for output\n");
    return 1;
}

int openInput(const char* name)
{
    OutputFile::openExisting(name);
    std::printf("opened\n");
    return 0;
}

int run(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("parameters: write|exists|input <File Name>\n");
        return 2;
    }
    if (std::strcmp(argv[1], "write") == 0) {
        return writeRamp(argv[2]);
    }
    if (std::strcmp(argv[1], "exists") == 0) {
        return createOverExisting(argv[2]);
    }
    if (std::strcmp(argv[1], "input") == 0) {
        return openInput(argv[2]);
    }
    std::printf("unknown mode %s\n", argv[1]);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    return runReportingFatalErrors([&] { return run(argc, argv); });
}
