// The only interface between the portable code and the operating system.
//
// Each operating system has one source file that implements these functions:
// windows.cpp (CreateFileA, DeviceIoControl with SCSI pass-through direct,
// WriteFile, GlobalAlloc) and posix.cpp (SG_IO for device nodes, the emulated
// drive of image_drive.h for regular files, open(O_CREAT|O_EXCL), malloc, dlopen).
// The build picks one of them; nothing outside this folder tests the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open drive; on Windows the HANDLE that CreateFileA returned.
using DriveHandle = void*;
// An open output file; on Windows the HANDLE that CreateFileA returned.
using FileHandle = void*;

// Data direction of a command, with the values of the Windows pass-through.
constexpr std::uint8_t kDirectionOut = 0;   // SCSI_IOCTL_DATA_OUT: host to drive
constexpr std::uint8_t kDirectionIn = 1;    // SCSI_IOCTL_DATA_IN: drive to host
constexpr std::uint8_t kDirectionNone = 2;  // SCSI_IOCTL_DATA_UNSPECIFIED

constexpr std::uint32_t kSenseBufferLength = 32;
constexpr std::uint32_t kCommandTimeoutSeconds = 30;
constexpr int kMaxCdbLength = 16;

// What came back from one command that the platform could pass to the drive.
struct PassResult {
    std::uint8_t scsiStatus;   // 0 is GOOD
    std::uint8_t senseLength;  // sense bytes stored, at most 32
    std::uint8_t sense[kSenseBufferLength];
    std::uint32_t transferred;  // data bytes actually moved
};

// The device path for a drive argument, written into `path` of `size` bytes.
// Returns false, leaving nothing useful in `path`, when it does not fit.
// Windows: "\\.\" + argument + ":" (no colon added when one ends the string);
// elsewhere the argument itself, a device node or a disc image file.
bool platformDevicePath(const char* argument, char* path, std::size_t size);
// The size of the buffer the programs keep for a device path: 520 bytes on
// Windows, the system's path limit elsewhere.
extern const std::size_t kPlatformDevicePathSize;

// What a report says of a command that could not be passed, after
// "*** Error!": the message line, and the error code as the line
// "error code = ..." gives it (the number, and where the system has one, its
// text).
struct PassFailureText {
    std::string message;
    std::string code;
};
PassFailureText platformPassFailureText(std::uint32_t errorCode);

// Opens a drive for reading and writing, sharing reads. False on failure, with
// the reason in platformLastError().
bool platformOpenDrive(const char* path, DriveHandle* drive);
void platformCloseDrive(DriveHandle drive);
// The longest data transfer in bytes that the adapter between us and the
// drive takes in one command; 0 when the system cannot tell.
std::uint32_t platformMaxTransferBytes(DriveHandle drive);

// Passes one command block synchronously with a 30-second timeout. Returns
// false when the request could not be passed at all (platformLastError() then
// holds the reason); true when the drive answered, whatever its status.
bool platformPassCommand(DriveHandle drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                         std::uint32_t dataLength, PassResult* result);

// Creates a new file that must not exist yet, for reading and writing.
bool platformCreateNewFile(const char* name, FileHandle* file);
// The same for a name in UTF-8 (Windows converts it to its wide-character names).
bool platformCreateNewFileUtf8(const char* name, FileHandle* file);
// Opens an existing file for reading and writing.
bool platformOpenExistingFile(const char* name, FileHandle* file);
// Creates a file, or opens one of that name emptied, for reading and writing.
bool platformCreateOrTruncateFile(const char* name, FileHandle* file);
// Writes at the current position; false on failure, else the count written.
bool platformWriteFile(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written);
void platformCloseFile(FileHandle file);
// Moves the position of the next write to byte `offset` of the file.
bool platformSeekFile(FileHandle file, std::uint64_t offset);
// Renames `from` to `to`, replacing a file of that name in one step, and
// makes the new name last (the folder's entry written through).
bool platformReplaceFile(const char* from, const char* to);
// Writes what the file has been given through to the medium (fsync,
// FlushFileBuffers): what is flushed survives a crash or a power cut.
bool platformFlushFile(FileHandle file);

// Files named in UTF-8 (Windows converts the names to its wide-character ones),
// for output written under a temporary name and renamed when complete.
// Creates a file for reading and writing, emptying one of that name that exists.
bool platformCreateOrEmptyFileUtf8(const char* name, FileHandle* file);
// Renames `from` to `to`, failing when a file named `to` exists already.
bool platformRenameNoReplaceUtf8(const char* from, const char* to);
bool platformRemoveFileUtf8(const char* name);
// False when there is no such file (or it cannot be looked at); else its size.
bool platformFileSizeUtf8(const char* name, std::uint64_t* size);
// Sets the file's modification time (the write time on Windows) to `unixSeconds`
// after 1970-01-01 00:00:00 UTC; false on failure, with the reason in
// platformLastError().
bool platformSetModifiedTimeUtf8(const char* name, std::int64_t unixSeconds);

// From now on Ctrl-C, a closed terminal and the system's request to end the
// program (SIGINT, SIGHUP and SIGTERM; the console control events on Windows)
// only set a flag, which the program reads between drive commands to end
// cleanly.
void platformCatchInterrupts();
bool platformInterrupted();
// Sets the flag as an interrupt does (a window's Stop button), or clears it
// before the next run.
void platformSetInterrupted(bool interrupted);

// Fixed memory; null when it cannot be had. A size of 0 gives a valid block.
void* platformAlloc(std::uint32_t size);
void platformFree(void* block);

// The last system error code (GetLastError on Windows, errno elsewhere).
std::uint32_t platformLastError();
// The system's text for such a code (strerror; FormatMessage on Windows), with no
// line end or final full stop.
std::string platformErrorText(std::uint32_t code);

// Before a disc image file is opened as a drive: the ddrescue mapfile that
// came with it, whose sectors not marked rescued then read as MEDIUM ERROR.
// False, with the reason in `error`, when it cannot be read or parsed, or
// where image files are not drives.
bool platformUseImageMapfile(const char* path, std::string* error);

// The path of the running program's own file (/proc/self/exe); false where the
// system cannot tell.
bool platformProgramFile(std::string* path);
// Loads the shared module at `path` with everything it links, resolved at once.
// Null, with the system's reason in `reason`, when it cannot be loaded, and
// always on Windows, whose builds have no modules.
void* platformLoadModule(const char* path, std::string* reason);
// The address of the symbol `name` in a loaded module; null, with the reason in
// `reason`, when it has none.
void* platformModuleSymbol(void* module, const char* name, std::string* reason);
