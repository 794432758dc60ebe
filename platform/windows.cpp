// Windows: CreateFileA, DeviceIoControl with SCSI pass-through direct for
// drive letters, the emulated drive for disc image files, WriteFile,
// GlobalAlloc.
// windows.h first, then the headers that build on it.
#include <windows.h>

#include <winioctl.h>

#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "image_drive.h"
#include "image_file.h"
#include "platform.h"
#include "support.h"

namespace {

// The request exchanged with the pass-through driver: the platform's
// structure, then the sense buffer. On 32-bit Windows the structure takes
// bytes 0-43, a filler 44-47 and the sense buffer 48-79.
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[kSenseBufferLength];
};

#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(offsetof(PassThroughRequest, filler) == 44);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(PassThroughRequest) == 80);
#endif
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(SCSI_IOCTL_DATA_OUT == kDirectionOut);
static_assert(SCSI_IOCTL_DATA_IN == kDirectionIn);
static_assert(SCSI_IOCTL_DATA_UNSPECIFIED == kDirectionNone);

// An open drive: a drive letter's device, or the emulated drive over an image.
struct WindowsDrive {
    HANDLE device;      // INVALID_HANDLE_VALUE for an image
    ImageDrive* image;  // null for a device
};

// A name as Windows' wide characters: UTF-8 where it is valid UTF-8 (the
// window's names), else in the ANSI code page (a console program's
// arguments). False, with the error set, when it is neither.
bool wideName(const char* name, std::vector<wchar_t>& wide, bool utf8Only)
{
    for (const UINT codePage : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(codePage, flags, name, -1, nullptr, 0);
        if (length > 0) {
            wide.resize(static_cast<std::size_t>(length));
            MultiByteToWideChar(codePage, flags, name, -1, wide.data(), length);
            return true;
        }
        if (utf8Only) {
            return false;
        }
    }
    return false;
}

bool wideName(const char* name, std::vector<wchar_t>& wide)
{
    return wideName(name, wide, true);
}

// "E" and "E:" are drive letters even where a file of that name lies in the
// working folder.
bool isDriveLetter(const char* argument)
{
    const std::size_t length = std::strlen(argument);
    const bool letter =
        length > 0 && ((argument[0] >= 'A' && argument[0] <= 'Z') || (argument[0] >= 'a' && argument[0] <= 'z'));
    return letter && (length == 1 || (length == 2 && argument[1] == ':'));
}

bool isDevicePath(const char* path)
{
    return std::strncmp(path, "\\\\.\\", 4) == 0;
}

// A disc image: an existing file that is no folder, named by anything but a
// drive letter or a device path.
bool namesImageFile(const char* argument)
{
    std::vector<wchar_t> wide;
    if (isDriveLetter(argument) || isDevicePath(argument) || !wideName(argument, wide, false)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(wide.data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

const std::size_t kPlatformDevicePathSize = 520;

bool platformDevicePath(const char* argument, char* path, std::size_t size)
{
    if (namesImageFile(argument)) {
        const std::size_t length = std::strlen(argument);
        if (length + 1 > size) {
            return false;
        }
        std::memcpy(path, argument, length + 1);
        return true;
    }
    return makeWindowsDevicePath(argument, path, size);
}

PassFailureText platformPassFailureText(std::uint32_t errorCode)
{
    return PassFailureText{"in SendCommand(): DeviceIoControl() failed",
                           std::to_string(static_cast<std::int32_t>(errorCode))};
}

bool platformOpenDrive(const char* path, DriveHandle* drive)
{
    if (!isDevicePath(path)) {
        ImageDrive* image = imageDriveOpen(path);
        if (image == nullptr) {
            return false;
        }
        *drive = new WindowsDrive{INVALID_HANDLE_VALUE, image};
        return true;
    }
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    *drive = new WindowsDrive{handle, nullptr};
    return true;
}

void platformCloseDrive(DriveHandle drive)
{
    auto* handle = static_cast<WindowsDrive*>(drive);
    if (handle == nullptr) {
        return;
    }
    if (handle->image != nullptr) {
        imageDriveClose(handle->image);
    } else {
        CloseHandle(handle->device);
    }
    delete handle;
}

std::uint32_t platformMaxTransferBytes(DriveHandle handle)
{
    const auto* drive = static_cast<const WindowsDrive*>(handle);
    if (drive->image != nullptr) {
        return imageDriveMaxTransferBytes(drive->image);
    }
    STORAGE_PROPERTY_QUERY query;
    std::memset(&query, 0, sizeof query);
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter;
    std::memset(&adapter, 0, sizeof adapter);
    DWORD returned = 0;
    if (!DeviceIoControl(drive->device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter, sizeof adapter,
                         &returned, nullptr) ||
        returned < offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) + sizeof(DWORD)) {
        return 0;
    }
    // A transfer also needs one page more than its length when the buffer
    // does not start on a page.
    std::uint32_t bytes = adapter.MaximumTransferLength;
    if (adapter.MaximumPhysicalPages > 1 && adapter.MaximumPhysicalPages - 1 < bytes / 4096) {
        bytes = (adapter.MaximumPhysicalPages - 1) * 4096;
    }
    return bytes;
}

bool platformPassCommand(DriveHandle handle, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                         std::uint32_t dataLength, PassResult* result)
{
    auto* drive = static_cast<WindowsDrive*>(handle);
    *result = PassResult{};
    if (drive->image != nullptr) {
        return imageDrivePass(drive->image, direction, cdb, cdbLength, data, dataLength, result);
    }
    if (cdbLength < 1 || cdbLength > kMaxCdbLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    PassThroughRequest request;
    std::memset(&request, 0, sizeof request);
    request.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.sptd.TimeOutValue = kCommandTimeoutSeconds;
    request.sptd.DataBuffer = data;
    request.sptd.DataTransferLength = dataLength;
    request.sptd.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    request.sptd.SenseInfoLength = kSenseBufferLength;
    std::memcpy(request.sptd.Cdb, cdb, static_cast<std::size_t>(cdbLength));
    request.sptd.CdbLength = static_cast<UCHAR>(cdbLength);
    request.sptd.DataIn = direction;

    DWORD returned = 0;
    if (!DeviceIoControl(drive->device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                         sizeof request, &returned, nullptr)) {
        return false;
    }
    result->scsiStatus = request.sptd.ScsiStatus;
    const UCHAR senseLength = request.sptd.SenseInfoLength <= kSenseBufferLength
                                  ? request.sptd.SenseInfoLength
                                  : static_cast<UCHAR>(kSenseBufferLength);
    result->senseLength = senseLength;
    std::memcpy(result->sense, request.sense, senseLength);
    result->transferred = request.sptd.DataTransferLength;
    return true;
}

bool platformCreateNewFile(const char* name, FileHandle* file)
{
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    *file = handle;
    return true;
}

namespace {

bool createFileUtf8(const char* name, DWORD disposition, FileHandle* file)
{
    std::vector<wchar_t> wide;
    if (!wideName(name, wide)) {
        return false;
    }
    HANDLE handle =
        CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    *file = handle;
    return true;
}

}  // namespace

bool platformCreateNewFileUtf8(const char* name, FileHandle* file)
{
    return createFileUtf8(name, CREATE_NEW, file);
}

bool platformCreateOrEmptyFileUtf8(const char* name, FileHandle* file)
{
    return createFileUtf8(name, CREATE_ALWAYS, file);
}

bool platformFlushFile(FileHandle file)
{
    return FlushFileBuffers(file) != 0;
}

bool platformRenameNoReplaceUtf8(const char* from, const char* to)
{
    std::vector<wchar_t> wideFrom, wideTo;
    if (!wideName(from, wideFrom) || !wideName(to, wideTo)) {
        return false;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    return MoveFileExW(wideFrom.data(), wideTo.data(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool platformRemoveFileUtf8(const char* name)
{
    std::vector<wchar_t> wide;
    return wideName(name, wide) && DeleteFileW(wide.data()) != 0;
}

bool platformFileSizeUtf8(const char* name, std::uint64_t* size)
{
    std::vector<wchar_t> wide;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!wideName(name, wide) || !GetFileAttributesExW(wide.data(), GetFileExInfoStandard, &data)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return true;
}

bool platformSetModifiedTimeUtf8(const char* name, std::int64_t unixSeconds)
{
    std::vector<wchar_t> wide;
    if (!wideName(name, wide)) {
        return false;
    }
    HANDLE handle = CreateFileW(wide.data(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // FILETIME counts 100 ns intervals from 1601-01-01, 11644473600 s before 1970.
    const auto ticks = static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL);
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(ticks);
    written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const bool set = SetFileTime(handle, nullptr, nullptr, &written) != 0;
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return set;
}

bool platformOpenExistingFile(const char* name, FileHandle* file)
{
    HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    *file = handle;
    return true;
}

bool platformCreateOrTruncateFile(const char* name, FileHandle* file)
{
    HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    *file = handle;
    return true;
}

bool platformWriteFile(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written)
{
    DWORD count = 0;
    if (!WriteFile(file, data, length, &count, nullptr)) {
        return false;
    }
    *written = count;
    return true;
}

void platformCloseFile(FileHandle file)
{
    CloseHandle(file);
}

bool platformSeekFile(FileHandle file, std::uint64_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

bool platformReplaceFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

volatile LONG g_interrupted = 0;

BOOL WINAPI noteInterrupt(DWORD /*event*/)
{
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;  // handled: the program ends by itself
}

}  // namespace

void platformCatchInterrupts()
{
    SetConsoleCtrlHandler(noteInterrupt, TRUE);
}

bool platformInterrupted()
{
    return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0;
}

void platformSetInterrupted(bool interrupted)
{
    InterlockedExchange(&g_interrupted, interrupted ? 1 : 0);
}

void* platformAlloc(std::uint32_t size)
{
    return GlobalAlloc(GMEM_FIXED, size);
}

void platformFree(void* block)
{
    GlobalFree(block);
}

std::uint32_t platformLastError()
{
    return GetLastError();
}

std::string platformErrorText(std::uint32_t code)
{
    char text[512];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() &&
           (message.back() == '\r' || message.back() == '\n' || message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(code) : message;
}

bool platformUseImageMapfile(const char* path, std::string* error)
{
    return imageDriveUseMapfile(path, error);
}

const std::uint32_t kPlatformErrorInvalidArgument = ERROR_INVALID_PARAMETER;
const std::uint32_t kPlatformErrorIo = ERROR_IO_DEVICE;

void platformSetLastError(std::uint32_t code)
{
    SetLastError(code);
}

bool imageFileOpen(const char* path, ImageFileHandle* file, std::uint64_t* size)
{
    std::vector<wchar_t> wide;
    if (!wideName(path, wide, false)) {
        return false;
    }
    HANDLE handle = CreateFileW(wide.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER length;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &length)) {
        CloseHandle(handle);
        SetLastError(ERROR_BAD_FILE_TYPE);
        return false;
    }
    *file = handle;
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool imageFileRead(ImageFileHandle file, void* data, std::uint32_t length, std::uint64_t offset)
{
    auto* out = static_cast<unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, out + done, length - done, &got, &at) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

void imageFileClose(ImageFileHandle file)
{
    CloseHandle(file);
}

bool platformProgramFile(std::string*)
{
    return false;
}

void* platformLoadModule(const char* path, std::string* reason)
{
    *reason = std::string(path) + ": modules are not available on Windows";
    return nullptr;
}

void* platformModuleSymbol(void*, const char* name, std::string* reason)
{
    *reason = std::string(name) + ": modules are not available on Windows";
    return nullptr;
}
