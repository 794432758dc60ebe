#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "report.h"
#include "udf.h"
#include "vrsalvage.h"

namespace fuzz {
namespace {

// ---- the private directory, the image, standard output -------------------------

int g_imageFd = -1;
char g_imagePath[64];
int g_homeFd = -1;  // the directory the harness started in
int g_workFd = -1;  // the private directory the programs write into
std::string g_workPath;
char g_stdoutBuffer[1 << 16];

// ---- output files in memory --------------------------------------------------

constexpr std::size_t kMemoryPage = 4096;

struct MemoryFile {
    std::string name;
    // The file's bytes by pages of kMemoryPage; a page that was only ever
    // given zeros has none. (A fixed-layout copy of an input's image is
    // zeros but for a few pages: copying it all costs more than the run.)
    std::vector<std::unique_ptr<std::uint8_t[]>> pages;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    bool open = false;
};

bool g_filesInMemory = false;
// The files of this run; all that a run allocates is freed at its end:
// libFuzzer runs an input again, looking for a leak, after any run that
// allocated more than it freed.
std::vector<std::unique_ptr<MemoryFile>> g_memoryFiles;
std::uint64_t g_imageBytes = 0;

MemoryFile* memoryFile(const char* name)
{
    for (const std::unique_ptr<MemoryFile>& file : g_memoryFiles) {
        if (file->name == name) {
            return file.get();
        }
    }
    return nullptr;
}

bool isZero(const std::uint8_t* bytes, std::uint64_t length)
{
    static const std::uint8_t zeros[1 << 16] = {};
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t chunk = length - done < sizeof zeros ? static_cast<std::size_t>(length - done) : sizeof zeros;
        if (std::memcmp(bytes + done, zeros, chunk) != 0) {
            return false;
        }
        done += chunk;
    }
    return true;
}

// Goes over the image's bytes [first, end) in order, calling hole(from, to)
// for each stretch the image has never been written in (zeros; past its
// end too) and data(from, to) for the others, while they return true. So
// only the few pages an input wrote are ever read from the image.
template <typename Hole, typename Data>
bool walkImage(std::uint64_t first, std::uint64_t end, Hole hole, Data data)
{
    for (std::uint64_t at = first; at < end;) {
        const off_t found = at < g_imageBytes ? lseek(g_imageFd, static_cast<off_t>(at), SEEK_DATA) : -1;
        const std::uint64_t dataFirst = found < 0 ? end : std::min(static_cast<std::uint64_t>(found), end);
        if (dataFirst > at && !hole(at, dataFirst)) {
            return false;
        }
        if (dataFirst >= end) {
            break;
        }
        const off_t after = lseek(g_imageFd, static_cast<off_t>(dataFirst), SEEK_HOLE);
        const std::uint64_t dataEnd = std::min(after < 0 ? g_imageBytes : static_cast<std::uint64_t>(after), end);
        if (!data(dataFirst, dataEnd)) {
            return false;
        }
        at = dataEnd;
    }
    return true;
}

bool readImageExactly(std::uint8_t* out, std::uint64_t from, std::uint64_t to)
{
    for (std::uint64_t at = from; at < to;) {
        const ssize_t n =
            pread(g_imageFd, out + (at - from), static_cast<std::size_t>(to - at), static_cast<off_t>(at));
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Calls piece(bytes, count) for the file's bytes [from, to) in order, a
// page at a time at the most; `bytes` is null where they are zeros.
template <typename Piece>
bool forEachPiece(const MemoryFile& file, std::uint64_t from, std::uint64_t to, Piece piece)
{
    for (std::uint64_t at = from; at < to;) {
        const auto index = static_cast<std::size_t>(at / kMemoryPage);
        const std::uint64_t within = at % kMemoryPage;
        const std::uint64_t count = std::min<std::uint64_t>(kMemoryPage - within, to - at);
        const std::uint8_t* page = index < file.pages.size() ? file.pages[index].get() : nullptr;
        if (!piece(page != nullptr ? page + within : nullptr, static_cast<std::size_t>(count))) {
            return false;
        }
        at += count;
    }
    return true;
}

// Whether the whole file equals the image from byte `offset` on; with
// `zerosBeyondImage`, zeros stand for what lies past the image's end.
bool equalsImage(const MemoryFile& file, std::uint64_t offset, bool zerosBeyondImage)
{
    if (!zerosBeyondImage && offset + file.size > g_imageBytes) {
        return false;
    }
    static std::uint8_t image[1 << 16];
    const auto zeros = [](const std::uint8_t* bytes, std::size_t count) {
        return bytes == nullptr || isZero(bytes, count);
    };
    return walkImage(
        offset, offset + file.size,
        [&](std::uint64_t from, std::uint64_t to) { return forEachPiece(file, from - offset, to - offset, zeros); },
        [&](std::uint64_t from, std::uint64_t to) {
            for (std::uint64_t at = from; at < to;) {
                const std::uint64_t chunk = std::min<std::uint64_t>(to - at, sizeof image);
                if (!readImageExactly(image, at, at + chunk)) {
                    return false;
                }
                const std::uint8_t* expected = image;
                const bool same = forEachPiece(
                    file, at - offset, at + chunk - offset, [&](const std::uint8_t* bytes, std::size_t count) {
                        const bool equal =
                            bytes == nullptr ? isZero(expected, count) : std::memcmp(bytes, expected, count) == 0;
                        expected += count;
                        return equal;
                    });
                if (!same) {
                    return false;
                }
                at += chunk;
            }
            return true;
        });
}

// With VRS_FUZZ_TRANSCRIPT set, each run ends with what it did on standard
// output (with VRS_FUZZ_STDOUT, after the program's own output): its end, the
// command blocks the drive received and the files it wrote with a checksum,
// so that two builds can be compared over the same inputs.
void printTranscript(const Outcome& outcome, const std::vector<ReceivedCommand>& log)
{
    std::printf("\n--- ended=%d status=%d\n", outcome.ended ? 1 : 0, outcome.status);
    for (const ReceivedCommand& command : log) {
        std::printf("cdb");
        for (int i = 0; i < command.cdbLength; i++) {
            std::printf(" %02X", command.cdb[static_cast<std::size_t>(i)]);
        }
        std::printf(" dir=%u len=%u\n", command.direction, command.dataLength);
    }
    const int fd = dup(g_workFd);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        finding("cannot list the private directory: %s", std::strerror(errno));
    }
    rewinddir(dir);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    for (const std::unique_ptr<MemoryFile>& file : g_memoryFiles) {
        names.push_back(file->name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (const MemoryFile* kept = memoryFile(name.c_str())) {
            std::uint64_t hash = 1469598103934665603ull;
            forEachPiece(*kept, 0, kept->size, [&](const std::uint8_t* bytes, std::size_t count) {
                for (std::size_t i = 0; i < count; i++) {
                    hash = (hash ^ (bytes != nullptr ? bytes[i] : 0)) * 1099511628211ull;
                }
                return true;
            });
            std::printf("file %s %llu %016llx\n", name.c_str(), static_cast<unsigned long long>(kept->size),
                        static_cast<unsigned long long>(hash));
            continue;
        }
        const int file = openat(g_workFd, name.c_str(), O_RDONLY | O_CLOEXEC);
        std::uint64_t hash = 1469598103934665603ull;
        std::uint64_t size = 0;
        static std::uint8_t chunk[1 << 16];
        for (ssize_t n; file >= 0 && (n = read(file, chunk, sizeof chunk)) > 0;) {
            for (ssize_t i = 0; i < n; i++) {
                hash = (hash ^ chunk[i]) * 1099511628211ull;
            }
            size += static_cast<std::uint64_t>(n);
        }
        if (file >= 0) {
            close(file);
        }
        std::printf("file %s %llu %016llx\n", name.c_str(), static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(hash));
    }
    std::fflush(stdout);
}

void removeOutputs()
{
    std::vector<std::unique_ptr<MemoryFile>>().swap(g_memoryFiles);
    const int fd = dup(g_workFd);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        finding("cannot list the private directory: %s", std::strerror(errno));
    }
    rewinddir(dir);
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            unlinkat(g_workFd, entry->d_name, 0);
        }
    }
    closedir(dir);
}

void removeWorkDirectory()
{
    if (g_workFd >= 0) {
        removeOutputs();
        rmdir(g_workPath.c_str());
    }
}

using FdSet = std::bitset<4096>;

FdSet openDescriptors()
{
    FdSet set;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        finding("cannot list /proc/self/fd: %s", std::strerror(errno));
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != own && fd >= 0 && static_cast<std::size_t>(fd) < set.size()) {
            set.set(static_cast<std::size_t>(fd));
        }
    }
    closedir(dir);
    return set;
}

void writeImage(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset, std::uint64_t imageBytes)
{
    if (offset >= imageBytes) {
        return;
    }
    const std::uint64_t room = imageBytes - offset;
    const std::size_t length = size < room ? size : static_cast<std::size_t>(room);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = pwrite(g_imageFd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            finding("cannot write the image: %s", std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

// The identifiers of ECMA-167's volume (1-9) and file (256-266) descriptors.
bool isDescriptorTag(unsigned identifier)
{
    return (identifier >= 1 && identifier <= 9) || (identifier >= 256 && identifier <= 266);
}

// Gives a descriptor tag at `d` (of `available` bytes) the checksum, and the
// CRC when it covers no more than that, that a writer gives it.
void sealOne(std::uint8_t* d, std::size_t available)
{
    const std::size_t covered = d[10] | (std::size_t{d[11]} << 8);
    if (16 + covered <= available) {
        const std::uint16_t crc = descriptorCrc(d + 16, covered);
        d[8] = static_cast<std::uint8_t>(crc);
        d[9] = static_cast<std::uint8_t>(crc >> 8);
    }
    d[4] = tagChecksum(d);
}

// Seals the descriptor at the start of `sector`, and when that is a File
// Identifier Descriptor the ones that follow it in the sector, so that the
// fuzzer need not find checksums and CRCs to get past the tag checks (the
// locations are the input's to get right).
void sealTags(std::uint32_t sector, std::uint64_t imageBytes)
{
    const std::uint64_t offset = std::uint64_t{sector} * kSector;
    std::uint8_t d[kSector];
    if (offset + kSector > imageBytes || pread(g_imageFd, d, kSector, static_cast<off_t>(offset)) != kSector ||
        !isDescriptorTag(d[0] | (d[1] << 8))) {
        return;
    }
    sealOne(d, kSector);
    std::size_t p = 0;
    while (d[p] == 1 && d[p + 1] == 1) {  // 257: a File Identifier Descriptor
        const std::size_t length = (38 + d[p + 19] + (d[p + 36] | (std::size_t{d[p + 37]} << 8)) + 3) & ~std::size_t{3};
        sealOne(d + p, kSector - p);
        p += length;
        if (p + 38 > kSector) {
            break;
        }
    }
    if (pwrite(g_imageFd, d, kSector, static_cast<off_t>(offset)) != kSector) {
        finding("cannot write the image: %s", std::strerror(errno));
    }
}

std::uint32_t word(const std::uint8_t* b)
{
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8);
}

std::uint32_t dword(const std::uint8_t* b)
{
    return word(b) | (word(b + 2) << 16);
}

bool hasOption(int argc, char** argv, const char* prefix)
{
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void loadDisc(const std::uint8_t* data, std::size_t size, std::uint32_t maxSectors, Disc* disc)
{
    std::uint8_t h[kHeaderSize] = {};
    std::memcpy(h, data, size < kHeaderSize ? size : kHeaderSize);
    const std::uint32_t flags = h[0];

    DriveHookSettings& s = disc->settings;
    s = DriveHookSettings{};
    s.profile = static_cast<std::uint16_t>(word(h + 2));
    s.lastTrack = static_cast<std::uint16_t>(word(h + 4));
    s.lraValid = (flags & 0x01u) != 0;
    s.nwaValid = (flags & 0x02u) != 0;
    if ((flags & 0x04u) != 0) {
        s.lastRecordedAddress = dword(h + 8);
    }
    if ((flags & 0x08u) != 0) {
        s.nextWritableAddress = dword(h + 12);
    }
    if ((flags & 0x10u) != 0) {
        s.trackSize = dword(h + 16);
    }
    disc->blockNumber = dword(h + 20);
    const std::uint32_t sectors = word(h + 6);
    disc->sectors = sectors < maxSectors ? sectors : maxSectors;
    disc->dataFault = false;
    if ((flags & 0x20u) != 0) {
        ImageFault fault;
        fault.kind = static_cast<ImageFault::Kind>(h[1] % 5);
        fault.opcode = h[24] == 0xFF ? -1 : h[24];
        fault.skip = h[25];
        fault.status = h[26];
        fault.sense = {0x70, 0, h[27], 0, 0, 0, 0, 10, 0, 0, 0, 0, h[28], h[29], 0, 0, 0, 0};
        fault.transfer = word(h + 30);
        const std::uint32_t lba = dword(h + 32);
        fault.lba = lba == 0xFFFFFFFFu ? -1 : std::int64_t{lba};
        const bool silent = fault.status == 0 && (fault.kind == ImageFault::Kind::CheckCondition ||
                                                  fault.kind == ImageFault::Kind::StatusOnly);
        disc->dataFault =
            fault.kind == ImageFault::Kind::ShortTransfer || fault.kind == ImageFault::Kind::Good || silent;
        // A fault that answers GOOD for every READ (10) would make every
        // sector readable, however far beyond the image: then any loop that
        // ends at a read error runs to a bound of billions of sectors. Such
        // a fault hits one sector, the first past the image.
        if (disc->dataFault && fault.lba < 0 && (fault.opcode < 0 || fault.opcode == 0x28)) {
            fault.lba = disc->sectors;
        }
        s.faults.push_back(fault);
    }

    const std::uint64_t imageBytes = std::uint64_t{disc->sectors} * kSector;
    g_imageBytes = imageBytes;
    if (ftruncate(g_imageFd, 0) != 0 || ftruncate(g_imageFd, static_cast<off_t>(imageBytes)) != 0) {
        finding("cannot size the image: %s", std::strerror(errno));
    }
    std::size_t p = kHeaderSize;
    std::vector<std::uint32_t> written;
    while (p + kRecordHeadSize <= size) {
        const std::uint32_t sector = dword(data + p);
        const std::size_t length = word(data + p + 4);
        p += kRecordHeadSize;
        const std::size_t available = size - p < length ? size - p : length;
        writeImage(data + p, available, std::uint64_t{sector} * kSector, imageBytes);
        written.push_back(sector);
        p += available;
    }
    if ((flags & 0x40u) != 0) {
        for (const std::uint32_t sector : written) {
            sealTags(sector, imageBytes);
        }
    }
}

Outcome runProgram(const Disc& disc, Body body, Check check)
{
    setReportIndent(0);
    DriveHooks hooks(disc.settings);
    const bool transcript = std::getenv("VRS_FUZZ_TRANSCRIPT") != nullptr;
    hooks.settings.record = transcript;
    const FdSet before = openDescriptors();
    if (fchdir(g_workFd) != 0) {
        finding("cannot enter the private directory: %s", std::strerror(errno));
    }

    Outcome outcome{false, 0};
    try {
        body(g_imagePath, disc, hooks);
    } catch (const FatalError& error) {
        // What the program's top prints for it.
        std::fputs(error.report.c_str(), stdout);
        outcome = Outcome{true, kFatalStatus};
    }
    std::fflush(stdout);

    // The drive and the output files are closed by their owners on every
    // path, the fatal one included.
    const FdSet after = openDescriptors();
    for (std::size_t fd = 3; fd < after.size(); fd++) {
        if (after.test(fd) && !before.test(fd)) {
            finding("file descriptor %zu still open after the run", fd);
        }
    }
    for (const std::unique_ptr<MemoryFile>& file : g_memoryFiles) {
        if (file->open) {
            finding("%s still open after the run", file->name.c_str());
        }
    }
    if (check != nullptr) {
        check(disc, outcome);
    }
    if (transcript) {
        printTranscript(outcome, hooks.log);
    }
    removeOutputs();
    if (fchdir(g_homeFd) != 0) {
        finding("cannot go back to the start directory: %s", std::strerror(errno));
    }
    return outcome;
}

void keepFilesInMemory()
{
    g_filesInMemory = true;
}

bool outputSize(const char* name, std::uint64_t* size)
{
    if (g_filesInMemory) {
        const MemoryFile* file = memoryFile(name);
        *size = file != nullptr ? file->size : 0;
        return file != nullptr;
    }
    struct stat status {};
    if (fstatat(g_workFd, name, &status, 0) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool outputEqualsImage(const char* name, std::uint32_t first, std::uint32_t count, bool zerosBeyondImage)
{
    std::uint64_t size = 0;
    if (!outputSize(name, &size) || size != std::uint64_t{count} * kSector) {
        return false;
    }
    if (g_filesInMemory) {
        return equalsImage(*memoryFile(name), std::uint64_t{first} * kSector, zerosBeyondImage);
    }
    const int fd = openat(g_workFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    static std::uint8_t file[1 << 16];
    static std::uint8_t image[1 << 16];
    bool same = true;
    for (std::uint64_t done = 0; same && done < size;) {
        const std::size_t chunk = size - done < sizeof file ? static_cast<std::size_t>(size - done) : sizeof file;
        const off_t at = static_cast<off_t>(std::uint64_t{first} * kSector + done);
        ssize_t fromImage = pread(g_imageFd, image, chunk, at);
        if (zerosBeyondImage && fromImage >= 0 && static_cast<std::size_t>(fromImage) < chunk) {
            std::memset(image + fromImage, 0, chunk - static_cast<std::size_t>(fromImage));
            fromImage = static_cast<ssize_t>(chunk);
        }
        same = pread(fd, file, chunk, static_cast<off_t>(done)) == static_cast<ssize_t>(chunk) &&
               fromImage == static_cast<ssize_t>(chunk) && std::memcmp(file, image, chunk) == 0;
        done += chunk;
    }
    close(fd);
    return same;
}

namespace {

void expectFile(const char* name, std::uint32_t first, std::uint32_t count, std::uint32_t sectors, bool keepGoing)
{
    if (!keepGoing && std::uint64_t{first} + count > sectors) {
        finding("%s: sectors %u-%u copied from an image of %u sectors", name, first, first + count - 1, sectors);
    }
    if (!outputEqualsImage(name, first, count, keepGoing)) {
        std::uint64_t size = 0;
        const bool exists = outputSize(name, &size);
        finding("%s: %s, not sectors %u-%u of the image", name,
                exists ? (std::to_string(size) + " bytes").c_str() : "missing", first, first + count - 1);
    }
}

void checkCopy(const Disc& disc, const Outcome& outcome, bool keepGoing)
{
    if (outcome.ended || disc.dataFault) {
        return;
    }
    const DriveHookSettings& s = disc.settings;
    if (s.profile != kProfileDvdRwRestrictedOverwrite) {
        finding("copy completed for profile 0x%04X", s.profile);
    }
    const std::uint32_t lastSector = disc.sectors == 0 ? 0 : disc.sectors - 1;
    std::uint32_t end = 0;
    if (s.lraValid) {
        end = s.lastRecordedAddress.value_or(lastSector) + 1;
    } else if (s.nwaValid) {
        end = s.nextWritableAddress.value_or(disc.sectors);
    } else {
        finding("copy completed without a valid LRA or NWA");
    }
    expectFile("VR_MANGR.IFO", kManagementFirstSector, kManagementSectors, disc.sectors, keepGoing);
    expectFile("VR_MOVIE.VRO", kMovieFirstSector, end > kMovieFirstSector ? end - kMovieFirstSector : 0, disc.sectors,
               keepGoing);
}

}  // namespace

void checkFixedLayoutCopy(const Disc& disc, const Outcome& outcome)
{
    checkCopy(disc, outcome, false);
}

void checkRescuedFixedLayoutCopy(const Disc& disc, const Outcome& outcome)
{
    checkCopy(disc, outcome, true);
}

void finding(const char* format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "==FINDING== ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    using namespace fuzz;

    // The programs write into the current directory, so each run happens in
    // a private one; crash files must still land where the fuzzer started.
    g_homeFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // In memory where the system has a tmpfs for it: the rescue engine
    // flushes its files to the medium at every mapfile save.
    const char* tmp = std::getenv("TMPDIR");
    struct stat shm {};
    const char* base = tmp != nullptr && *tmp != '\0'                        ? tmp
                       : stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm"
                                                                             : P_tmpdir;
    std::string pattern = std::string(base) + "/vrs-fuzz-XXXXXX";
    if (g_homeFd < 0 || mkdtemp(pattern.data()) == nullptr) {
        finding("cannot make a private directory: %s", std::strerror(errno));
    }
    g_workPath = pattern;
    g_workFd = open(g_workPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_workFd < 0) {
        finding("cannot open the private directory: %s", std::strerror(errno));
    }
    std::atexit(removeWorkDirectory);

    // The image lives in memory, reached through a path like any image file.
    g_imageFd = memfd_create("disc-image", MFD_CLOEXEC);
    if (g_imageFd < 0) {
        finding("memfd_create: %s", std::strerror(errno));
    }
    std::snprintf(g_imagePath, sizeof g_imagePath, "/proc/self/fd/%d", g_imageFd);

    // A buffer of our own: stdio allocates none during a run.
    std::setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer);
    if (std::getenv("VRS_FUZZ_STDOUT") == nullptr) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0 || dup2(null, 1) < 0) {
            finding("cannot send standard output to /dev/null: %s", std::strerror(errno));
        }
        close(null);
    }

    if (!hasOption(*argc, *argv, "-artifact_prefix=") && !hasOption(*argc, *argv, "-exact_artifact_path=")) {
        static std::string prefix;
        static std::vector<char*> arguments;
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr) {
            prefix = std::string("-artifact_prefix=") + here + "/";
            arguments.assign(*argv, *argv + *argc);
            arguments.insert(arguments.begin() + 1, prefix.data());
            arguments.push_back(nullptr);
            *argc += 1;
            *argv = arguments.data();
        }
    }
    return 0;
}

// The platform's file functions as a harness that keeps its output files in
// memory is linked with them (the linker's --wrap: every call from outside
// the platform's own source file comes here). Binaries linked without that
// never call them.
namespace {

fuzz::MemoryFile* openMemoryFile(void* handle)
{
    auto* file = static_cast<fuzz::MemoryFile*>(handle);
    if (!fuzz::g_filesInMemory || file == nullptr || !file->open) {
        fuzz::finding("a file function on a handle that is no open file in memory");
    }
    return file;
}

bool createMemoryFile(const char* name, void** handle)
{
    using namespace fuzz;
    if (!g_filesInMemory) {
        finding("output files in memory without keepFilesInMemory()");
    }
    if (memoryFile(name) != nullptr) {
        errno = EEXIST;
        return false;
    }
    g_memoryFiles.push_back(std::make_unique<MemoryFile>());
    MemoryFile& file = *g_memoryFiles.back();
    file.name = name;
    file.open = true;
    *handle = &file;
    return true;
}

[[noreturn]] void notInMemory(const char* function, const char* name)
{
    fuzz::finding("%s(%s): only new files are kept in memory", function, name);
}

}  // namespace

extern "C" {

bool __wrap__Z21platformCreateNewFilePKcPPv(const char* name, void** handle)
{
    return createMemoryFile(name, handle);
}

bool __wrap__Z25platformCreateNewFileUtf8PKcPPv(const char* name, void** handle)
{
    return createMemoryFile(name, handle);
}

bool __wrap__Z17platformWriteFilePvPKvjPj(void* handle, const void* data, std::uint32_t length, std::uint32_t* written)
{
    fuzz::MemoryFile* file = openMemoryFile(handle);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::uint64_t end = file->position + length;
    for (std::uint64_t at = file->position; at < end;) {
        const auto index = static_cast<std::size_t>(at / fuzz::kMemoryPage);
        const std::uint64_t within = at % fuzz::kMemoryPage;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(fuzz::kMemoryPage - within, end - at));
        const std::uint8_t* piece = bytes + (at - file->position);
        if (index >= file->pages.size()) {
            file->pages.resize(index + 1);
        }
        std::unique_ptr<std::uint8_t[]>& page = file->pages[index];
        if (page == nullptr && !fuzz::isZero(piece, count)) {
            page.reset(new std::uint8_t[fuzz::kMemoryPage]());
        }
        if (page != nullptr) {
            std::memcpy(page.get() + within, piece, count);
        }
        at += count;
    }
    file->position = end;
    file->size = std::max(file->size, end);
    *written = length;
    return true;
}

bool __wrap__Z16platformSeekFilePvm(void* handle, std::uint64_t offset)
{
    openMemoryFile(handle)->position = offset;
    return true;
}

bool __wrap__Z17platformFlushFilePv(void* handle)
{
    openMemoryFile(handle);
    return true;
}

void __wrap__Z17platformCloseFilePv(void* handle)
{
    openMemoryFile(handle)->open = false;
}

// The drive's reads of the image: its holes as zeros without asking the
// system to copy them. (The harness opens no other image.)
bool __wrap__Z13imageFileReadPvS_jm(void* /*handle*/, void* data, std::uint32_t length, std::uint64_t offset)
{
    using namespace fuzz;
    if (!g_filesInMemory) {
        finding("image reads in memory without keepFilesInMemory()");
    }
    auto* out = static_cast<std::uint8_t*>(data);
    return offset + length <= g_imageBytes &&
           walkImage(
               offset, offset + length,
               [&](std::uint64_t from, std::uint64_t to) {
                   std::memset(out + (from - offset), 0, static_cast<std::size_t>(to - from));
                   return true;
               },
               [&](std::uint64_t from, std::uint64_t to) { return readImageExactly(out + (from - offset), from, to); });
}

bool __wrap__Z24platformOpenExistingFilePKcPPv(const char* name, void** /*handle*/)
{
    notInMemory("platformOpenExistingFile", name);
}

bool __wrap__Z28platformCreateOrTruncateFilePKcPPv(const char* name, void** /*handle*/)
{
    notInMemory("platformCreateOrTruncateFile", name);
}

bool __wrap__Z29platformCreateOrEmptyFileUtf8PKcPPv(const char* name, void** /*handle*/)
{
    notInMemory("platformCreateOrEmptyFileUtf8", name);
}

}  // extern "C"
