// "-r" mode: the walk from the File Set Descriptor to the two recording files.
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "report.h"
#include "report_sink.h"
#include "support.h"
#include "udf_walk.h"

namespace {

// Recording file names take the first 12 bytes of the File Identifier after
// its compression ID; the walk compares exactly those.
constexpr std::uint32_t kNameLength = 12;

void walkDirectory(Volume& volume, WalkState& walk, const FileEntry& directory, const RecordingFileVisitor& visit);

// Reads a directory's data. With keep-going, data that cannot be read, or
// that the directory's File Entry (at `entrySector`) does not lead to, end
// only the walk of that directory: false after a notice.
bool readDirectoryData(Volume& volume, const FileEntry& directory, std::uint32_t entrySector, std::uint32_t size,
                       std::uint8_t* data)
{
    const std::string where = " (File Entry at sector " + std::to_string(entrySector) + ")";
    try {
        if (driveCouldRead(volume, [&] { readFileData(volume.drive, volume.partition, directory, 0, size, data); })) {
            return true;
        }
        noteLoss(volume, "can't read the directory data" + where);
    } catch (const FatalError&) {
        if (!volume.keepGoing) {
            throw;
        }
        noteLoss(volume, "bad directory data" + where);
    }
    return false;
}

// With keep-going, a directory's File Entry must carry the tag of one of
// the two kinds.
bool isFileEntry(const Volume& volume, const FileEntry& entry, std::uint32_t block)
{
    return !volume.keepGoing || isAnyFileEntry(entry.sector.data(), block);
}

// Follows a directory entry into the directory it names, unless that is one
// of the directories being walked or the tree is already too deep.
void enterDirectory(Volume& volume, WalkState& walk, const std::uint8_t* identifier, const RecordingFileVisitor& visit)
{
    const LongAddress address = decodeLongAddress(identifier + FileIdentifierLayout::kIcb);
    const std::optional<std::uint32_t> sector = fileEntrySector(volume, address, "directory File Entry");
    if (!sector) {
        return;
    }
    const std::uint32_t lba = *sector;
    for (std::uint32_t i = 0; i <= walk.depth; i++) {
        if (walk.path[i] == lba) {
            printLine("? Directory loop\n");
            return;
        }
    }
    if (walk.depth >= WalkState::kMaxDepth) {
        printLine("? Directory tree too deep\n");
        return;
    }
    std::optional<FileEntry> entry;
    const bool read =
        driveCouldRead(volume, [&] { entry = readFileEntry(volume.drive, lba, address.partitionReference); });
    if (!read || !isFileEntry(volume, *entry, address.block)) {
        noteLoss(volume, structureLoss(!read, "directory File Entry", lba));
        return;
    }
    walk.path[++walk.depth] = lba;
    walkDirectory(volume, walk, *entry, visit);
    walk.depth--;
}

// The first entry named after a recording file that has not been met yet.
std::optional<RecordingFile> recordingFileNamed(const WalkState& walk, const std::uint8_t* name)
{
    if (std::memcmp(name, "VR_MANGR.IFO", kNameLength) == 0 && !walk.managementFound) {
        return RecordingFile::Management;
    }
    if (std::memcmp(name, "VR_MOVIE.VRO", kNameLength) == 0 && !walk.movieFound) {
        return RecordingFile::Movie;
    }
    return std::nullopt;
}

// Follows a directory entry, or hands a recording file's entry to `visit`.
// The name test compares the 12 bytes after the compression ID when they lie
// inside the data. True after a file entry once both files are found: the
// walk of this directory ends there.
bool visitEntry(Volume& volume, WalkState& walk, std::span<const std::uint8_t> data, std::uint64_t p,
                const RecordingFileVisitor& visit)
{
    const std::uint8_t* entry = data.data() + p;
    const std::uint32_t characteristics = readLe8(entry, FileIdentifierLayout::kFileCharacteristics);
    const std::uint32_t useLength = readLe16(entry, FileIdentifierLayout::kLengthOfImplementationUse);
    if ((characteristics & FileIdentifierLayout::kCharacteristicDirectory) != 0) {
        if ((characteristics & FileIdentifierLayout::kCharacteristicParent) == 0) {
            IndentedScope deeper;
            enterDirectory(volume, walk, entry, visit);
        }
        return false;
    }
    // The name follows the Implementation Use and a compression ID byte.
    const std::uint64_t nameOffset = p + FileIdentifierLayout::kImplementationUse + useLength + 1;
    const std::optional<RecordingFile> file =
        nameOffset + kNameLength <= data.size() ? recordingFileNamed(walk, data.data() + nameOffset) : std::nullopt;
    if (file) {
        visit(*file, decodeLongAddress(entry + FileIdentifierLayout::kIcb));
        (*file == RecordingFile::Management ? walk.managementFound : walk.movieFound) = true;
    }
    return walk.managementFound && walk.movieFound;
}

// Every entry is checked against the end of the data before any of it is
// read: its 38-byte head, then its whole length (38 + L_IU + L_FI). An entry
// that runs past the end is the last one: it is still followed or named when
// its head and the 12 name bytes lie inside, then the walk of the directory
// ends.
void visitEntries(Volume& volume, WalkState& walk, std::span<const std::uint8_t> data,
                  const RecordingFileVisitor& visit)
{
    const std::uint64_t size = data.size();
    std::uint64_t p = 0;
    while (p + FileIdentifierLayout::kImplementationUse <= size) {
        const std::uint8_t* entry = data.data() + p;
        // A File Identifier Descriptor names the block its tag starts in,
        // which the directory's data no longer tells: no location check.
        if (!hasValidTag(entry, TagIdentifier::kFileIdentifier, std::nullopt, static_cast<std::size_t>(size - p))) {
            noteLoss(volume, "Not File Entry\n");
            return;
        }
        const std::uint32_t identifierLength = readLe8(entry, FileIdentifierLayout::kLengthOfFileIdentifier);
        const std::uint32_t useLength = readLe16(entry, FileIdentifierLayout::kLengthOfImplementationUse);
        const std::uint64_t entryLength =
            FileIdentifierLayout::kImplementationUse + std::uint64_t{useLength} + identifierLength;
        if (p + entryLength > size) {
            const std::uint64_t nameEnd = p + FileIdentifierLayout::kImplementationUse + useLength + 1 + kNameLength;
            if (nameEnd <= size) {
                visitEntry(volume, walk, data, p, visit);
            }
            noteLoss(volume, "Not File Entry\n");
            return;
        }
        if (visitEntry(volume, walk, data, p, visit)) {
            return;
        }
        p += (entryLength + 3) & ~std::uint64_t{3};
    }
}

void walkDirectory(Volume& volume, WalkState& walk, const FileEntry& directory, const RecordingFileVisitor& visit)
{
    // A length beyond the bounds comes from a damaged entry: that directory
    // is left out and the walk goes on with the others.
    if (directory.informationLength > WalkState::kMaxDataHeld - walk.dataHeld) {
        noteLoss(volume, "Directory data too long\n");
        return;
    }
    const auto size = static_cast<std::uint32_t>(directory.informationLength);
    const std::uint32_t cost = size > kSectorSize ? size : kSectorSize;
    if (cost > WalkState::kMaxDataRead - walk.dataRead) {
        noteLoss(volume, "Too much directory data read\n");
        return;
    }
    walk.dataRead += cost;
    std::vector<std::uint8_t> data = allocateBuffer(size);
    walk.dataHeld += size;
    if (readDirectoryData(volume, directory, walk.path[walk.depth], size, data.data())) {
        visitEntries(volume, walk, data, visit);
    }
    walk.dataHeld -= size;
}

}  // namespace

void announceRecordingFile(RecordingFile file)
{
    reportf(file == RecordingFile::Management ? "IFO Processing\n" : "VRO Processing\n");
}

void noteLoss(Volume& volume, const std::string& text)
{
    printLine(("? " + text).c_str());
    volume.losses++;
}

bool driveCouldRead(const Volume& volume, const std::function<void()>& read)
{
    if (!volume.keepGoing) {
        read();
        return true;
    }
    try {
        read();
        return true;
    } catch (const FatalError& error) {
        if (error.cause != FatalError::Cause::Drive) {
            throw;
        }
        return false;
    }
}

std::string structureLoss(bool unreadable, const std::string& what, std::uint32_t sector)
{
    return (unreadable ? "can't read the " : "bad ") + what + " (sector " + std::to_string(sector) + ")";
}

std::optional<std::uint32_t> fileEntrySector(Volume& volume, const LongAddress& address, const std::string& what,
                                             const std::string& consequence)
{
    if (volume.keepGoing && !namesPartition(volume.partition, address.partitionReference)) {
        noteLoss(volume, "bad partition reference " + std::to_string(address.partitionReference) + " (" + what + ")" +
                             consequence);
        return std::nullopt;
    }
    return addressSector(volume.partition, address);
}

std::optional<FileEntry> readRootDirectory(Volume& volume, std::uint32_t fileSetBlock, std::uint32_t* rootSector)
{
    alignas(16) SectorBuffer fileSet{};
    const std::uint32_t fileSetSector = partitionSector(volume.partition, fileSetBlock);
    const bool fileSetRead = driveCouldRead(volume, [&] { readSector(volume.drive, fileSetSector, fileSet.data()); });
    if (!fileSetRead || (volume.keepGoing && !hasValidTag(fileSet.data(), TagIdentifier::kFileSet, fileSetBlock))) {
        noteLoss(volume, structureLoss(!fileSetRead, "File Set Descriptor", fileSetSector));
        return std::nullopt;
    }
    const LongAddress rootAddress = decodeLongAddress(fileSet.data() + FileSetLayout::kRootDirectoryIcb);
    const std::optional<std::uint32_t> sector = fileEntrySector(volume, rootAddress, "root File Entry");
    if (!sector) {
        return std::nullopt;
    }
    *rootSector = *sector;
    std::optional<FileEntry> root;
    const bool rootRead = driveCouldRead(
        volume, [&] { root = readFileEntry(volume.drive, *rootSector, rootAddress.partitionReference); });
    if (!rootRead || !isFileEntry(volume, *root, rootAddress.block)) {
        noteLoss(volume, structureLoss(!rootRead, "root File Entry", *rootSector));
        return std::nullopt;
    }
    return root;
}

void walkToRecordingFiles(Volume& volume, const FileEntry& root, std::uint32_t rootSector,
                          const RecordingFileVisitor& visit)
{
    WalkState walk;
    walk.path[0] = rootSector;
    walkDirectory(volume, walk, root, visit);
}
