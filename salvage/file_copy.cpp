// "--files" mode: every file of the DVD_RTAV directory copied through its
// allocation descriptors into a new file of the same name.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "report.h"
#include "report_sink.h"
#include "salvage.h"
#include "support.h"

namespace {

// A DVD holds at most 4,173,824 sectors (two layers); a File Entry that
// claims more than this is damaged.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{4u * 1024 * 1024} * kSectorSize;
// A directory of a recorder's disc holds a handful of entries; its data are
// held whole, so a longer one is refused as damaged.
constexpr std::uint64_t kMaxDirectoryBytes = 1024u * 1024;
// Compression IDs of a File Identifier: 8-bit and 16-bit characters.
constexpr std::uint32_t kCompression8 = 8;
constexpr std::uint32_t kCompression16 = 16;
constexpr std::uint32_t kCharacteristicDeleted = 0x04;

struct DirectoryFile {
    std::string name;
    LongAddress fileEntry;
    bool directory;
};

// A run of the file's bytes: from `block` on when recorded, zeros otherwise.
struct FilePiece {
    bool recorded;
    std::uint32_t block;  // partition block
    std::uint64_t bytes;
    std::optional<std::uint16_t> reference = std::nullopt;  // of its descriptor's location
};

// The partition a piece's blocks are read through.
const Partition& piecePartition(const Volume& volume, const FilePiece& piece, Partition& inPlace)
{
    return extentPartition(volume.partition, Extent{ExtentType::Recorded, 0, piece.block, piece.reference}, inPlace);
}

// The name of a File Identifier as a file name of this system, or nothing
// when it has characters that cannot name a file here or leave the folder.
std::optional<std::string> fileName(const std::uint8_t* identifier, std::uint32_t length)
{
    if (length < 2) {
        return std::nullopt;
    }
    std::string name;
    const std::uint32_t compression = identifier[0];
    if (compression == kCompression8) {
        name.assign(reinterpret_cast<const char*>(identifier + 1), length - 1);
    } else if (compression == kCompression16 && (length - 1) % 2 == 0) {
        for (std::uint32_t i = 1; i + 1 < length; i += 2) {
            if (identifier[i] != 0) {
                return std::nullopt;
            }
            name.push_back(static_cast<char>(identifier[i + 1]));
        }
    } else {
        return std::nullopt;
    }
    const bool usable = std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F && std::strchr("/\\:*?\"<>|", c) == nullptr;
    });
    if (!usable || name == "." || name == "..") {
        return std::nullopt;
    }
    return name;
}

// The data of a directory with File Entry `entry`.
std::vector<std::uint8_t> readDirectory(Volume& volume, const FileEntry& entry)
{
    if (!isAnyFileEntry(entry.sector.data(), std::nullopt)) {
        fail("not a File Entry");
    }
    if (entry.informationLength > kMaxDirectoryBytes) {
        fail("Directory data too long");
    }
    std::vector<std::uint8_t> data = allocateBuffer(static_cast<std::uint32_t>(entry.informationLength));
    readFileData(volume.drive, volume.partition, entry, 0, static_cast<std::uint32_t>(data.size()), data.data());
    return data;
}

// The entries of a directory's data other than the parent and deleted ones,
// each checked against the end of the data; an entry with a name that
// cannot be used is left out after a notice.
std::vector<DirectoryFile> listDirectory(Volume& volume, const std::vector<std::uint8_t>& data)
{
    std::vector<DirectoryFile> files;
    std::uint64_t p = 0;
    while (p + FileIdentifierLayout::kImplementationUse <= data.size()) {
        const std::uint8_t* entry = data.data() + p;
        if (!hasValidTag(entry, TagIdentifier::kFileIdentifier, std::nullopt,
                         static_cast<std::size_t>(data.size() - p))) {
            noteLoss(volume, "Not File Entry\n");
            break;
        }
        const std::uint32_t identifierLength = readLe8(entry, FileIdentifierLayout::kLengthOfFileIdentifier);
        const std::uint32_t useLength = readLe16(entry, FileIdentifierLayout::kLengthOfImplementationUse);
        const std::uint64_t nameOffset = p + FileIdentifierLayout::kImplementationUse + useLength;
        if (nameOffset + identifierLength > data.size()) {
            noteLoss(volume, "Not File Entry\n");
            break;
        }
        const std::uint32_t characteristics = readLe8(entry, FileIdentifierLayout::kFileCharacteristics);
        const LongAddress address = decodeLongAddress(entry + FileIdentifierLayout::kIcb);
        if ((characteristics & (FileIdentifierLayout::kCharacteristicParent | kCharacteristicDeleted)) == 0) {
            const std::optional<std::string> name = fileName(data.data() + nameOffset, identifierLength);
            if (name) {
                files.push_back(DirectoryFile{*name, address,
                                              (characteristics & FileIdentifierLayout::kCharacteristicDirectory) != 0});
            } else {
                noteLoss(volume, "a file name that cannot be used here (File Entry at block " +
                                     std::to_string(address.block) + "): not copied");
            }
        }
        p = (nameOffset + identifierLength + 3) & ~std::uint64_t{3};
    }
    return files;
}

// The file's bytes as pieces, exactly its information length: the extents
// in order, cut where the length ends, and zeros where they end before it.
std::vector<FilePiece> filePieces(Volume& volume, const FileEntry& entry, const AllocationDescriptors& descriptors)
{
    const std::uint64_t length = entry.informationLength;
    std::vector<FilePiece> pieces;
    std::uint64_t covered = 0;
    const auto add = [&](bool recorded, std::uint32_t block, std::uint64_t bytes,
                         std::optional<std::uint16_t> reference) {
        if (!pieces.empty() && !pieces.back().recorded && !recorded) {
            pieces.back().bytes += bytes;
        } else if (covered % kSectorSize != 0) {
            // Only a file's last extent may end within a block.
            fail("bad allocation extent");
        } else {
            pieces.push_back(FilePiece{recorded, block, bytes, reference});
        }
        covered += bytes;
    };
    forEachExtent(
        volume.drive, volume.partition, descriptors,
        [&](const Extent& extent) {
            if (extent.type == ExtentType::Continuation || extent.length == 0) {
                return true;
            }
            const std::uint64_t bytes = std::min<std::uint64_t>(extent.length, length - covered);
            const bool recorded = extent.type == ExtentType::Recorded;
            Partition inPlace;
            const Partition& through = recorded ? extentPartition(volume.partition, extent, inPlace) : volume.partition;
            // A run of sectors must not wrap round to the disc's start.
            if (recorded &&
                std::uint64_t{partitionSector(through, extent.location)} + (bytes + kSectorSize - 1) / kSectorSize >
                    UINT32_MAX) {
                fail("bad allocation extent");
            }
            add(recorded, extent.location, bytes, extent.partitionReference);
            return covered < length;
        },
        volume.keepGoing);
    if (covered < length) {
        add(false, 0, length - covered, std::nullopt);
    }
    return pieces;
}

void writeZeros(OutputFile& output, std::uint64_t bytes)
{
    static const SectorBuffer zeros{};
    for (std::uint64_t done = 0; done < bytes; done += kSectorSize) {
        output.write(zeros.data(), static_cast<std::uint32_t>(std::min<std::uint64_t>(kSectorSize, bytes - done)));
    }
}

// Without keep-going: the file written piece by piece, the first unreadable
// sector ending the run; a last sector the file holds only in part is cut
// to its length after.
void copyPieces(Volume& volume, const std::string& name, const std::vector<FilePiece>& pieces, std::uint64_t length)
{
    {
        OutputFile output = OutputFile::createNew(name.c_str());
        SectorCopier copier(volume.drive, output);
        for (const FilePiece& piece : pieces) {
            if (!piece.recorded) {
                copier.flush();
                writeZeros(output, piece.bytes);
                continue;
            }
            const auto blocks = static_cast<std::uint32_t>((piece.bytes + kSectorSize - 1) / kSectorSize);
            Partition inPlace;
            const Partition& through = piecePartition(volume, piece, inPlace);
            for (std::uint32_t i = 0; i < blocks; i++) {
                const std::uint32_t block = piece.block + i;
                const std::uint32_t following = consecutiveBlocks(through, block, blocks - i) - 1;
                copier.copy(partitionSector(through, block), following);
            }
        }
        copier.flush();
    }
    std::error_code error;
    std::filesystem::resize_file(name, length, error);
    if (error) {
        fail(("can't write " + name + ": " + error.message()).c_str());
    }
}

// The recorded pieces as a keep-going target, each at its place in the
// file, the zeros between them and after them left to the session, the file
// exactly its length.
CopyTarget piecesTarget(const Volume& volume, const std::string& name, const std::vector<FilePiece>& pieces,
                        std::uint64_t length)
{
    CopyTarget target(name, {});
    target.bytes = length;
    std::uint64_t offset = 0;  // bytes
    for (const FilePiece& piece : pieces) {
        if (piece.recorded) {
            if (offset % kSectorSize != 0) {
                fail("bad allocation extent");
            }
            const auto blocks = static_cast<std::uint32_t>((piece.bytes + kSectorSize - 1) / kSectorSize);
            Partition inPlace;
            const Partition& through = piecePartition(volume, piece, inPlace);
            for (std::uint32_t done = 0; done < blocks;) {
                const std::uint32_t block = piece.block + done;
                const std::uint32_t count = consecutiveBlocks(through, block, blocks - done);
                target.runs.push_back(SectorRun{partitionSector(through, block), count});
                target.fileSectors.push_back(offset / kSectorSize + done);
                done += count;
            }
        }
        offset += piece.bytes;
    }
    return target;
}

// What a file's File Entry says of its data: where its pieces lie, or the
// data themselves when embedded.
struct FileData {
    std::uint64_t length = 0;
    bool embedded = false;
    std::vector<std::uint8_t> embeddedData;
    std::vector<FilePiece> pieces;
};

// The data of one file of the directory; with keep-going nothing, after a
// notice, when its File Entry or descriptors cannot be used.
std::optional<FileData> fileDataOf(Volume& volume, const DirectoryFile& file)
{
    const std::optional<std::uint32_t> at =
        fileEntrySector(volume, file.fileEntry, "File Entry of " + file.name, ": not copied");
    if (!at) {
        return std::nullopt;
    }
    const std::uint32_t sector = *at;
    std::optional<FileEntry> entry;
    if (!driveCouldRead(volume,
                        [&] { entry = readFileEntry(volume.drive, sector, file.fileEntry.partitionReference); })) {
        noteLoss(volume, structureLoss(true, "File Entry of " + file.name, sector) + ": not copied");
        return std::nullopt;
    }
    FileData data;
    try {
        if (!isAnyFileEntry(entry->sector.data(), file.fileEntry.block)) {
            fail("not a File Entry");
        }
        if (entry->informationLength > kMaxFileBytes) {
            fail("file larger than a DVD");
        }
        const AllocationDescriptors descriptors = allocationDescriptors(*entry);
        if (descriptors.form == AllocationForm::Embedded && entry->informationLength > descriptors.area.size()) {
            fail("file out of range");
        }
        data.length = entry->informationLength;
        data.embedded = descriptors.form == AllocationForm::Embedded;
        if (data.embedded) {
            data.embeddedData.assign(descriptors.area.begin(),
                                     descriptors.area.begin() + static_cast<std::ptrdiff_t>(data.length));
        } else {
            data.pieces = filePieces(volume, *entry, descriptors);
        }
    } catch (const FatalError& error) {
        if (!volume.keepGoing) {
            throw;
        }
        noteLoss(volume, structureLoss(error.cause == FatalError::Cause::Drive, "File Entry of " + file.name, sector) +
                             ": not copied");
        return std::nullopt;
    }
    return data;
}

// Copies one file of the directory. False when the run was interrupted.
bool copyFile(Volume& volume, RescueSession* rescue, const DirectoryFile& file)
{
    reportf("Writing %s\n", file.name.c_str());
    const std::optional<FileData> data = fileDataOf(volume, file);
    if (!data) {
        return true;
    }
    reportf("bytes = %llu\n", static_cast<unsigned long long>(data->length));
    if (data->embedded) {
        // The data live inside the File Entry: nothing to read, nothing to resume.
        std::error_code error;
        if (rescue != nullptr && std::filesystem::exists(file.name, error)) {
            return true;
        }
        OutputFile output = OutputFile::createNew(file.name.c_str());
        output.write(data->embeddedData.data(), static_cast<std::uint32_t>(data->length));
        return true;
    }
    if (rescue == nullptr) {
        copyPieces(volume, file.name, data->pieces, data->length);
        return true;
    }
    return rescue->copy(piecesTarget(volume, file.name, data->pieces, data->length));
}

// The files of the root's DVD_RTAV directory.
std::vector<DirectoryFile> recordingDirectoryFiles(Volume& volume, std::uint32_t fileSetBlock)
{
    std::uint32_t rootSector = 0;
    const std::optional<FileEntry> root = readRootDirectory(volume, fileSetBlock, &rootSector);
    if (!root) {
        fail("no root directory: nothing can be copied");
    }
    const std::vector<DirectoryFile> top = listDirectory(volume, readDirectory(volume, *root));
    const auto rtav = std::find_if(top.begin(), top.end(),
                                   [](const DirectoryFile& f) { return f.directory && f.name == "DVD_RTAV"; });
    if (rtav == top.end()) {
        fail("not found DVD_RTAV");
    }
    std::vector<DirectoryFile> files = listDirectory(
        volume, readDirectory(volume, readFileEntry(volume.drive, addressSector(volume.partition, rtav->fileEntry),
                                                    rtav->fileEntry.partitionReference)));
    files.erase(std::remove_if(files.begin(), files.end(), [](const DirectoryFile& f) { return f.directory; }),
                files.end());
    return files;
}

// The message of a fatal error, without its "*** Error!" line.
std::string fatalMessage(const FatalError& error)
{
    std::string message = error.report;
    const std::size_t at = message.rfind("*** Error!\n");
    if (at != std::string::npos) {
        message.erase(0, at + std::strlen("*** Error!\n"));
    }
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())) != 0) {
        message.pop_back();
    }
    return message;
}

}  // namespace

RunResult copyDirectoryFiles(const char* devicePath, const RunOptions& options)
{
    FileSystemRun run = openFileSystemRun(devicePath, options);
    Drive& drive = run.drive;
    const std::uint16_t profile = run.profile;
    const VolumeDescriptors& descriptors = run.descriptors;
    if (!descriptors.fileSetFound) {
        fail("no usable Logical Volume Descriptor: the directory tree cannot be walked");
    }
    Volume volume{drive, descriptors.partition, options.keepGoing};
    const std::vector<DirectoryFile> files = recordingDirectoryFiles(volume, descriptors.fileSetBlock);

    std::optional<RescueSession> rescue;
    if (options.keepGoing) {
        DiscIdentity identity;
        if (!options.mapfile.empty()) {
            identity = reusableDiscIdentity(drive, profile);
            identity.mode = "files";
        }
        rescue.emplace(drive, run.settings, identity);
    }
    for (const DirectoryFile& file : files) {
        if (!copyFile(volume, rescue ? &*rescue : nullptr, file)) {
            break;
        }
    }
    if (!rescue) {
        return RunResult::Complete;
    }
    rescue->finish();
    if (rescue->interrupted()) {
        return RunResult::Interrupted;
    }
    return rescue->unreadable() || volume.losses != 0 ? RunResult::Unreadable : RunResult::Complete;
}

DirectoryTargets findDirectoryTargets(Drive& drive)
{
    DirectoryTargets found;
    const VolumeDescriptors descriptors = readVolumeDescriptorsFromAnyAnchor(drive);
    if (!descriptors.fileSetFound) {
        found.problem = "no usable Logical Volume Descriptor: the directory tree cannot be walked";
        return found;
    }
    found.partitionStart = partitionSector(descriptors.partition, 0);
    Volume volume{drive, descriptors.partition, true};
    try {
        for (const DirectoryFile& file : recordingDirectoryFiles(volume, descriptors.fileSetBlock)) {
            std::optional<FileData> data = fileDataOf(volume, file);
            if (!data) {
                continue;
            }
            DirectoryTarget target;
            target.embedded = data->embedded;
            target.embeddedData = std::move(data->embeddedData);
            target.target = data->embedded ? CopyTarget(file.name, {})
                                           : piecesTarget(volume, file.name, data->pieces, data->length);
            target.target.bytes = data->length;
            found.files.push_back(std::move(target));
        }
    } catch (const FatalError& error) {
        found.problem = fatalMessage(error);
    }
    found.losses = volume.losses;
    return found;
}
