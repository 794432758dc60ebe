// Linux: SG_IO for device nodes, the emulated drive for disc image files.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_drive.h"
#include "image_file.h"
#include "platform.h"
#include "sg_io.h"

namespace {

struct PosixDrive {
    int fd;             // the device node, or -1
    ImageDrive* image;  // the emulated drive, or null
};

struct PosixFile {
    int fd;
};

// Host status values that still mean the command reached the drive and was
// completed by it; everything else is a transport failure.
constexpr unsigned kDriverStatusMask = 0x07;  // DRIVER_SENSE (0x08) alone is fine

int openDeviceNode(const char* path)
{
    // O_NONBLOCK: opening must neither wait for nor act on the medium. A
    // node that may not be opened for writing still answers reads.
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    return fd;
}

}  // namespace

void sgFillHeader(sg_io_hdr_t* header, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                  std::uint32_t dataLength, std::uint8_t* sense)
{
    std::memset(header, 0, sizeof *header);
    header->interface_id = 'S';
    switch (direction) {
        case kDirectionOut: header->dxfer_direction = SG_DXFER_TO_DEV; break;
        case kDirectionIn: header->dxfer_direction = SG_DXFER_FROM_DEV; break;
        default: header->dxfer_direction = SG_DXFER_NONE; break;
    }
    header->cmd_len = static_cast<unsigned char>(cdbLength);
    header->mx_sb_len = static_cast<unsigned char>(kSenseBufferLength);
    header->dxfer_len = direction == kDirectionNone ? 0 : dataLength;
    header->dxferp = direction == kDirectionNone ? nullptr : data;
    header->cmdp = const_cast<unsigned char*>(cdb);
    header->sbp = sense;
    header->timeout = kSgTimeoutMilliseconds;
}

bool sgTakeResult(const sg_io_hdr_t& header, std::uint32_t dataLength, PassResult* result, int* errorCode)
{
    if (header.host_status != 0 || (header.driver_status & kDriverStatusMask) != 0) {
        // DID_TIME_OUT (3) and DRIVER_TIMEOUT (6) are the 30-second limit.
        const bool timedOut = header.host_status == 3 || (header.driver_status & kDriverStatusMask) == 6;
        *errorCode = timedOut ? ETIMEDOUT : EIO;
        return false;
    }
    result->scsiStatus = header.status;
    const unsigned senseLength = header.sb_len_wr <= kSenseBufferLength ? header.sb_len_wr : kSenseBufferLength;
    result->senseLength = static_cast<std::uint8_t>(senseLength);
    const int resid = header.resid;
    const std::uint32_t asked = header.dxfer_direction == SG_DXFER_NONE ? 0 : dataLength;
    if (header.status != 0) {
        // Not every driver reports a residue for a failed command; nothing
        // it moved then counts.
        result->transferred = 0;
    } else if (resid <= 0) {
        result->transferred = asked;
    } else {
        result->transferred =
            static_cast<std::uint32_t>(resid) >= asked ? 0 : asked - static_cast<std::uint32_t>(resid);
    }
    return true;
}

const std::size_t kPlatformDevicePathSize = PATH_MAX;

PassFailureText platformPassFailureText(std::uint32_t errorCode)
{
    const int code = static_cast<int>(errorCode);
    // SG_IO on something that is no SCSI device: a regular file's ioctl, a
    // FIFO, /dev/null, a loop device.
    const bool notScsi = code == ENOTTY || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
    return PassFailureText{notScsi ? "ioctl(SG_IO) failed: the path is not a SCSI generic or CD device"
                                   : "ioctl(SG_IO) failed: the command did not reach the drive",
                           std::to_string(code) + " (" + std::strerror(code) + ")"};
}

bool platformDevicePath(const char* argument, char* path, std::size_t size)
{
    const std::size_t length = std::strlen(argument);
    if (length + 1 > size) {
        return false;
    }
    std::memcpy(path, argument, length + 1);
    return true;
}

namespace {

// The block queue's limit in sysfs (max_sectors_kb) of a block device.
std::uint32_t queueMaxSectorsBytes(dev_t device)
{
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/queue/max_sectors_kb", major(device), minor(device));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 0;
    }
    unsigned long kib = 0;
    const bool read = std::fscanf(file, "%lu", &kib) == 1;
    std::fclose(file);
    return read && kib > 0 && kib < 4u * 1024 * 1024 ? static_cast<std::uint32_t>(kib * 1024) : 0;
}

}  // namespace

bool platformOpenDrive(const char* path, DriveHandle* drive)
{
    struct stat status {};
    if (stat(path, &status) != 0) {
        return false;
    }
    auto* handle = new PosixDrive{-1, nullptr};
    if (S_ISREG(status.st_mode)) {
        handle->image = imageDriveOpen(path);
        if (handle->image == nullptr) {
            const int saved = errno;
            delete handle;
            errno = saved;
            return false;
        }
    } else {
        handle->fd = openDeviceNode(path);
        if (handle->fd < 0) {
            const int saved = errno;
            delete handle;
            errno = saved;
            return false;
        }
    }
    *drive = handle;
    return true;
}

std::uint32_t platformMaxTransferBytes(DriveHandle drive)
{
    const auto* handle = static_cast<const PosixDrive*>(drive);
    if (handle->image != nullptr) {
        return imageDriveMaxTransferBytes(handle->image);
    }
    struct stat status {};
    if (fstat(handle->fd, &status) != 0) {
        return 0;
    }
    if (S_ISBLK(status.st_mode)) {
        // A block device (sr) answers in 512-byte sectors, as a short.
        unsigned short sectors = 0;
        if (ioctl(handle->fd, BLKSECTGET, &sectors) == 0) {
            return std::uint32_t{sectors} * 512;
        }
        return queueMaxSectorsBytes(status.st_rdev);
    }
    // The SCSI generic driver answers in bytes, as an int.
    int bytes = 0;
    if (ioctl(handle->fd, BLKSECTGET, &bytes) == 0 && bytes > 0) {
        return static_cast<std::uint32_t>(bytes);
    }
    return 0;
}

void platformCloseDrive(DriveHandle drive)
{
    auto* handle = static_cast<PosixDrive*>(drive);
    if (handle == nullptr) {
        return;
    }
    if (handle->image != nullptr) {
        imageDriveClose(handle->image);
    }
    if (handle->fd >= 0) {
        close(handle->fd);
    }
    delete handle;
}

bool platformPassCommand(DriveHandle drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                         std::uint32_t dataLength, PassResult* result)
{
    auto* handle = static_cast<PosixDrive*>(drive);
    *result = PassResult{};
    if (handle->image != nullptr) {
        return imageDrivePass(handle->image, direction, cdb, cdbLength, data, dataLength, result);
    }
    if (cdbLength < 1 || cdbLength > kMaxCdbLength) {
        errno = EINVAL;
        return false;
    }
    sg_io_hdr_t header;
    sgFillHeader(&header, direction, cdb, cdbLength, data, dataLength, result->sense);
    int status;
    do {
        status = ioctl(handle->fd, SG_IO, &header);
    } while (status < 0 && errno == EINTR);
    if (status < 0) {
        return false;
    }
    int errorCode = 0;
    if (!sgTakeResult(header, dataLength, result, &errorCode)) {
        errno = errorCode;
        return false;
    }
    return true;
}

bool platformCreateNewFile(const char* name, FileHandle* file)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    *file = new PosixFile{fd};
    return true;
}

bool platformCreateNewFileUtf8(const char* name, FileHandle* file)
{
    return platformCreateNewFile(name, file);
}

bool platformOpenExistingFile(const char* name, FileHandle* file)
{
    const int fd = open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    *file = new PosixFile{fd};
    return true;
}

bool platformCreateOrTruncateFile(const char* name, FileHandle* file)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    *file = new PosixFile{fd};
    return true;
}

bool platformWriteFile(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written)
{
    const int fd = static_cast<PosixFile*>(file)->fd;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (done == 0) {
                return false;
            }
            break;  // a partial write: the caller sees the count
        }
        done += static_cast<std::uint32_t>(n);
    }
    *written = done;
    return true;
}

void platformCloseFile(FileHandle file)
{
    auto* handle = static_cast<PosixFile*>(file);
    if (handle != nullptr) {
        close(handle->fd);
        delete handle;
    }
}

bool platformSeekFile(FileHandle file, std::uint64_t offset)
{
    return lseek(static_cast<PosixFile*>(file)->fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool platformReplaceFile(const char* from, const char* to)
{
    if (std::rename(from, to) != 0) {
        return false;
    }
    // The rename lasts once the folder that holds the name is written.
    std::string folder(to);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return true;
}

bool platformFlushFile(FileHandle file)
{
    return fsync(static_cast<PosixFile*>(file)->fd) == 0;
}

std::string platformErrorText(std::uint32_t code)
{
    return std::strerror(static_cast<int>(code));
}

bool platformCreateOrEmptyFileUtf8(const char* name, FileHandle* file)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    *file = new PosixFile{fd};
    return true;
}

bool platformRenameNoReplaceUtf8(const char* from, const char* to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without RENAME_NOREPLACE: a second name, which link() never
    // gives over an existing file, then the first one removed.
    if (link(from, to) != 0) {
        return false;
    }
    unlink(from);
    return true;
}

bool platformRemoveFileUtf8(const char* name)
{
    return unlink(name) == 0;
}

bool platformFileSizeUtf8(const char* name, std::uint64_t* size)
{
    struct stat status {};
    if (stat(name, &status) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool platformSetModifiedTimeUtf8(const char* name, std::int64_t unixSeconds)
{
    struct timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = static_cast<time_t>(unixSeconds);
    return utimensat(AT_FDCWD, name, times, 0) == 0;
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void noteInterrupt(int /*signal*/)
{
    g_interrupted = 1;
}

}  // namespace

void platformCatchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool platformInterrupted()
{
    return g_interrupted != 0;
}

void platformSetInterrupted(bool interrupted)
{
    g_interrupted = interrupted ? 1 : 0;
}

void* platformAlloc(std::uint32_t size)
{
    return std::malloc(size != 0 ? size : 1);
}

void platformFree(void* block)
{
    std::free(block);
}

std::uint32_t platformLastError()
{
    return static_cast<std::uint32_t>(errno);
}

bool platformUseImageMapfile(const char* path, std::string* error)
{
    return imageDriveUseMapfile(path, error);
}

bool platformProgramFile(std::string* path)
{
    char name[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", name, sizeof name);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof name) {
        return false;
    }
    path->assign(name, static_cast<std::size_t>(length));
    return true;
}

void* platformLoadModule(const char* path, std::string* reason)
{
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* text = dlerror();
        *reason = text != nullptr ? text : std::string(path) + ": cannot be loaded";
    }
    return module;
}

void* platformModuleSymbol(void* module, const char* name, std::string* reason)
{
    dlerror();
    void* address = dlsym(module, name);
    if (address == nullptr) {
        const char* text = dlerror();
        *reason = text != nullptr ? text : std::string(name) + ": not in the module";
    }
    return address;
}

const std::uint32_t kPlatformErrorInvalidArgument = EINVAL;
const std::uint32_t kPlatformErrorIo = EIO;

void platformSetLastError(std::uint32_t code)
{
    errno = static_cast<int>(code);
}

bool imageFileOpen(const char* path, ImageFileHandle* file, std::uint64_t* size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int saved = errno != 0 ? errno : ENODEV;
        close(fd);
        errno = saved;
        return false;
    }
    *file = new PosixFile{fd};
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool imageFileRead(ImageFileHandle file, void* data, std::uint32_t length, std::uint64_t offset)
{
    const int fd = static_cast<PosixFile*>(file)->fd;
    auto* out = static_cast<unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::uint32_t>(got);
    }
    return true;
}

void imageFileClose(ImageFileHandle file)
{
    auto* handle = static_cast<PosixFile*>(file);
    close(handle->fd);
    delete handle;
}
