// The heap the keep-going read engine holds while it rescues a whole disc: one
// target over every sector of a disc model (a sparse image of a single-layer
// DVD by default) through the emulated drive, with unreadable sectors spread
// over it and a retry pass, so that its areas, its mapfile text and its
// targets' bookkeeping are all in use. Every operator new is counted; the
// figure is the high-water mark above what was in use before the session,
// without the blocks of 64 KiB and more (its transfer buffers).
//
// Usage: engine_memory [--sectors N] [--bad N] [--dir DIR] [--limit BYTES]
// Exit status 1 when the figure is over --limit (default 1 MiB).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "drive_hooks.h"
#include "read_engine.h"
#include "report.h"
#include "report_sink.h"
#include "scsi.h"

namespace {

constexpr std::size_t kBufferBlock = 64 * 1024;  // a block this large is a transfer buffer
constexpr std::size_t kHeader = 16;              // keeps the blocks 16-byte aligned

std::atomic<std::size_t> g_small{0};  // bytes in blocks under kBufferBlock
std::atomic<std::size_t> g_large{0};
std::atomic<std::size_t> g_smallPeak{0};
std::atomic<std::size_t> g_totalPeak{0};

void* counted(std::size_t size)
{
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(block, &size, sizeof size);
    std::atomic<std::size_t>& pool = size < kBufferBlock ? g_small : g_large;
    pool += size;
    const std::size_t small = g_small.load();
    const std::size_t total = small + g_large.load();
    if (small > g_smallPeak.load()) {
        g_smallPeak = small;
    }
    if (total > g_totalPeak.load()) {
        g_totalPeak = total;
    }
    return block + kHeader;
}

void released(void* pointer)
{
    if (pointer == nullptr) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    (size < kBufferBlock ? g_small : g_large) -= size;
    std::free(block);
}

class QuietSink : public ReportSink {
public:
    void text(std::string_view) override {}
    void progress(const ProgressEvent&) override {}
};

}  // namespace

void* operator new(std::size_t size)
{
    return counted(size);
}
void* operator new[](std::size_t size)
{
    return counted(size);
}
void operator delete(void* pointer) noexcept
{
    released(pointer);
}
void operator delete[](void* pointer) noexcept
{
    released(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    released(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
    released(pointer);
}

int main(int argc, char** argv)
{
    std::uint32_t sectors = 2295104;  // a single-layer DVD
    std::uint32_t bad = 1000;         // unreadable sectors, spread evenly
    std::size_t limit = 1024 * 1024;
    std::string dir = "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--sectors") {
            sectors = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--bad") {
            bad = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--dir") {
            dir = argv[i + 1];
        } else if (option == "--limit") {
            limit = std::strtoull(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: engine_memory [--sectors N] [--bad N] [--dir DIR] [--limit BYTES]\n");
            return 2;
        }
    }
    std::string work = dir + "/engine_memory.XXXXXX";
    if (mkdtemp(work.data()) == nullptr) {
        std::perror("engine_memory: work directory");
        return 2;
    }
    const std::string image = work + "/disc.img";
    const int fd = open(image.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(std::uint64_t{sectors} * kSectorSize)) != 0) {
        std::perror("engine_memory: image");
        return 2;
    }
    close(fd);
    // The target's file is written into the current folder.
    if (chdir(work.c_str()) != 0) {
        std::perror("engine_memory: work directory");
        return 2;
    }

    DriveHooks hooks;
    for (std::uint32_t i = 0; i < bad; i++) {
        ImageFault fault;
        fault.lba = std::int64_t{sectors} / bad * i + 7;
        hooks.settings.faults.push_back(fault);
    }
    QuietSink quiet;
    std::size_t before = 0;
    std::size_t smallPeak = 0;
    std::size_t totalPeak = 0;
    const int status = runReportingFatalErrors([&] {
        Drive drive = Drive::open(image.c_str());
        RescueSettings settings;
        settings.retries = 1;
        settings.mapfile = "disc.map";
        const CopyTarget target("disc.bin", {SectorRun{0, sectors}});
        const ReportSinkScope scope(quiet);
        before = g_small.load();
        g_smallPeak = before;
        g_totalPeak = before + g_large.load();
        {
            RescueSession session(drive, settings, DiscIdentity{"memory", 0x0013, sectors, "", std::nullopt});
            session.copy(target);
            session.finish();
        }
        smallPeak = g_smallPeak.load();
        totalPeak = g_totalPeak.load();
        return 0;
    });
    std::remove("disc.bin");
    std::remove("disc.map");
    std::remove(image.c_str());
    if (chdir("/") != 0 || rmdir(work.c_str()) != 0) {
        std::perror("engine_memory: work directory");
    }
    if (status != 0) {
        return status;
    }
    const std::size_t beyond = smallPeak - before;
    std::printf(
        "disc of %u sectors, %u unreadable: heap high-water %zu bytes beyond the %zu before the session "
        "(%zu with its transfer buffers); limit %zu\n",
        sectors, bad, beyond, before, totalPeak - before, limit);
    return beyond <= limit ? 0 : 1;
}
