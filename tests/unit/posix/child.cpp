#include "child.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "report.h"
#include "udf.h"

ChildOutcome runChild(const std::function<void()>& body)
{
    std::fflush(stdout);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::abort();
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[1]);
        std::exit(runReportingFatalErrors([&] {
            body();
            return 0;
        }));
    }
    close(pipeEnds[1]);
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ChildOutcome outcome{};
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    outcome.out = out;
    return outcome;
}

namespace {

std::string g_directory;
pid_t g_owner = 0;

int removeEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return std::remove(path);
}

void removeTestDirectory()
{
    // Children end through exit() too; only the process that made it cleans up.
    if (getpid() == g_owner && !g_directory.empty()) {
        nftw(g_directory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string testDirectory()
{
    if (g_directory.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vrsalvage-test-XXXXXX";
        const char* made = mkdtemp(pattern.data());
        if (made == nullptr) {
            std::abort();
        }
        g_directory = made;
        g_owner = getpid();
        std::atexit(removeTestDirectory);
    }
    return g_directory;
}

}  // namespace

void placeTag(Sector& s, std::uint32_t location)
{
    if (s.size() < 16 || s[2] != 2 || s[3] != 0 || s[12] != 0xFF || s[13] != 0xFF || s[14] != 0xFF || s[15] != 0xFF) {
        return;
    }
    put32(s, 12, location);
    s[4] = tagChecksum(s.data());
}

std::string writeImage(const std::string& name, std::uint64_t sectors, const std::map<std::uint32_t, Sector>& content)
{
    const std::string path = testDirectory() + "/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(sectors * 2048)) != 0) {
        std::abort();
    }
    for (const auto& [lba, bytes] : content) {
        Sector sector = bytes;
        sector.resize(2048);
        placeTag(sector, lba);
        if (pwrite(fd, sector.data(), sector.size(), static_cast<off_t>(std::uint64_t{lba} * 2048)) != 2048) {
            std::abort();
        }
    }
    close(fd);
    return path;
}

std::string freshDirectory()
{
    std::string pattern = testDirectory() + "/runXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

void put16(Sector& s, std::size_t offset, std::uint32_t value)
{
    if (s.size() < offset + 2) {
        s.resize(offset + 2);
    }
    s[offset] = static_cast<std::uint8_t>(value);
    s[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(Sector& s, std::size_t offset, std::uint32_t value)
{
    if (s.size() < offset + 4) {
        s.resize(offset + 4);
    }
    for (int i = 0; i < 4; i++) {
        s[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

Sector sectorWithText(const std::string& text, std::size_t offset)
{
    Sector s(2048);
    std::memcpy(s.data() + offset, text.data(), text.size());
    return s;
}
