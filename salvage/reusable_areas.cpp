// "-r" mode from start to end: the volume, the walk to the recording files,
// and for each of them its reusable map and its recovery file.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "report.h"
#include "report_sink.h"
#include "salvage.h"

namespace {

const char* recordingFileName(RecordingFile file)
{
    return file == RecordingFile::Management ? "VR_MANGR.IFO" : "VR_MOVIE.VRO";
}

const char* recoveryFileName(RecordingFile file)
{
    return file == RecordingFile::Management ? "VR_MANGR_R.IFO" : "VR_MOVIE_R.VRO";
}

void recoverFile(Volume& volume, RecordingFile file, const LongAddress& fileEntry)
{
    std::optional<ReusableMap> map = readSpaceBitmap(volume);
    if (!map) {
        return;
    }
    map->blocksBeyond = countBlocksBeyondMap(volume, *map);
    const FileEntry entry =
        readFileEntry(volume.drive, addressSector(volume.partition, fileEntry), fileEntry.partitionReference);
    const AllocationDescriptors descriptors = allocationDescriptors(entry);
    if (descriptors.form == AllocationForm::Embedded) {
        // The data live inside the File Entry: no blocks, no recovery file.
        return;
    }
    markUnrecordedExtents(volume, descriptors, *map);
    copyReusableBlocks(volume, file, *map);
}

// What the two files of a keep-going run share: the space bitmap, read when
// the first of them needs it, and which of them the walk reached.
struct KeepGoingRun {
    Volume& volume;
    std::function<void(const CopyTarget&)> take;  // each recovery file's target, as it is found
    std::optional<SpaceBitmap> bitmap;
    bool reached[2] = {false, false};
};

enum class FileExtents { Marked, Embedded, Lost };

// Marks the file's allocated-but-unrecorded extents in `map`. Lost, with the
// loss in `loss` and `map` unchanged, when its File Entry or one of its
// Allocation Extent Descriptors cannot be read or is damaged.
FileExtents markFileExtents(Volume& volume, RecordingFile file, const LongAddress& fileEntry, ReusableMap& map,
                            std::string* loss)
{
    const std::string entryName = std::string("File Entry of ") + recordingFileName(file);
    if (!namesPartition(volume.partition, fileEntry.partitionReference)) {
        *loss = "bad partition reference " + std::to_string(fileEntry.partitionReference) + " (" + entryName + ")";
        return FileExtents::Lost;
    }
    const std::uint32_t sector = addressSector(volume.partition, fileEntry);
    std::optional<FileEntry> entry;
    if (!driveCouldRead(volume, [&] { entry = readFileEntry(volume.drive, sector, fileEntry.partitionReference); })) {
        *loss = structureLoss(true, entryName, sector);
        return FileExtents::Lost;
    }
    std::optional<AllocationDescriptors> descriptors;
    try {
        if (!isAnyFileEntry(entry->sector.data(), fileEntry.block)) {
            fail("not a File Entry");
        }
        descriptors = allocationDescriptors(*entry);
    } catch (const FatalError&) {
        *loss = structureLoss(false, entryName, sector);
        return FileExtents::Lost;
    }
    if (descriptors->form == AllocationForm::Embedded) {
        return FileExtents::Embedded;
    }
    ReusableMap marked = map;
    std::uint32_t extentSector = 0;
    try {
        markUnrecordedExtents(volume, *descriptors, marked, &extentSector);
    } catch (const FatalError& error) {
        *loss = structureLoss(error.cause == FatalError::Cause::Drive,
                              std::string("Allocation Extent Descriptor of ") + recordingFileName(file), extentSector);
        return FileExtents::Lost;
    }
    map = std::move(marked);
    return FileExtents::Marked;
}

// The recovery file of a keep-going run. Without the file's File Entry (the
// walk did not reach it: `fileEntry` empty, or it cannot be used) it
// holds the free blocks of the file's area that the bitmap gives; without a
// bitmap it is not written. Each loss is one notice.
void recoverFileKeepingGoing(KeepGoingRun& run, RecordingFile file, std::optional<LongAddress> fileEntry)
{
    Volume& volume = run.volume;
    run.reached[static_cast<int>(file)] = true;
    // The notices of a file stand at the left margin, as "IFO Processing" does.
    const std::uint32_t indent = reportIndent();
    setReportIndent(0);
    if (!run.bitmap) {
        run.bitmap = readSpaceBitmapKeepingGoing(volume);
    }
    std::string loss;
    std::optional<ReusableMap> map = run.bitmap->map;
    if (!map) {
        noteLoss(volume, run.bitmap->loss + ": " + recoveryFileName(file) + " not written");
    } else {
        map->blocksBeyond = countBlocksBeyondMap(volume, *map);
        FileExtents extents = FileExtents::Lost;
        if (fileEntry) {
            extents = markFileExtents(volume, file, *fileEntry, *map, &loss);
        } else {
            loss = std::string(recordingFileName(file)) + " not found";
        }
        if (extents == FileExtents::Embedded) {
            map.reset();
        } else if (extents == FileExtents::Lost) {
            noteLoss(volume, loss + ": " + recoveryFileName(file) +
                                 " has the free blocks of its area only, not the file's unrecorded extents");
        }
    }
    setReportIndent(indent);
    if (map) {
        run.take(reusableBlocksTarget(volume, file, *map));
    }
}

// The lowest partition block of the movie file's allocated extents: where
// the movie area begins on a disc without the fixed layout. 0 (every block
// goes to the movie file's recovery file) when the file has no blocks or its
// File Entry or descriptors cannot be used: its own part says why.
std::uint32_t movieAreaStart(Volume& volume, const LongAddress& fileEntry)
{
    std::optional<std::uint32_t> lowest;
    try {
        const FileEntry entry =
            readFileEntry(volume.drive, addressSector(volume.partition, fileEntry), fileEntry.partitionReference);
        const AllocationDescriptors descriptors = allocationDescriptors(entry);
        if (descriptors.form != AllocationForm::Embedded) {
            forEachExtent(volume.drive, volume.partition, descriptors, [&](const Extent& extent) {
                if ((extent.type != ExtentType::Recorded && extent.type != ExtentType::NotRecorded) ||
                    extent.length == 0) {
                    return true;
                }
                // Where the map counts the block: see markUnrecordedExtents.
                Partition inPlace;
                const std::optional<std::uint32_t> block =
                    physicalBlock(extentPartition(volume.partition, extent, inPlace), extent.location);
                if (block && (!lowest || *block < *lowest)) {
                    lowest = block;
                }
                return true;
            });
        }
    } catch (const FatalError&) {
        if (!volume.keepGoing) {
            throw;
        }
        return 0;
    }
    return lowest.value_or(0);
}

// Calls process(file, block) for each recording file the walk reaches. On a
// disc with the fixed layout that happens as the walk meets it; on another
// the walk goes through first, so that the movie area's start is known
// before either file's blocks are taken.
void forEachRecordingFile(Volume& volume, const FileEntry& root, std::uint32_t rootSector,
                          const RecordingFileVisitor& process)
{
    if (volume.fixedAreas) {
        walkToRecordingFiles(volume, root, rootSector, [&](RecordingFile file, const LongAddress& block) {
            announceRecordingFile(file);
            process(file, block);
        });
        return;
    }
    std::vector<std::pair<RecordingFile, LongAddress>> found;
    walkToRecordingFiles(volume, root, rootSector,
                         [&](RecordingFile file, const LongAddress& block) { found.emplace_back(file, block); });
    for (const auto& [file, block] : found) {
        if (file == RecordingFile::Movie) {
            volume.movieStart = movieAreaStart(volume, block);
        }
    }
    for (const auto& [file, block] : found) {
        announceRecordingFile(file);
        process(file, block);
    }
}

// The keep-going walk from the root to both recovery files' targets.
void walkToReusableTargets(Volume& volume, const std::optional<FileEntry>& root, std::uint32_t rootSector,
                           const std::function<void(const CopyTarget&)>& take, const std::function<bool()>& stopped)
{
    KeepGoingRun run{volume, take, std::nullopt};
    if (root) {
        forEachRecordingFile(volume, *root, rootSector, [&](RecordingFile file, const LongAddress& fileEntry) {
            recoverFileKeepingGoing(run, file, fileEntry);
        });
    }
    // A file the walk did not reach still has the free blocks of its area.
    for (const RecordingFile file : {RecordingFile::Management, RecordingFile::Movie}) {
        if (!run.reached[static_cast<int>(file)] && !stopped()) {
            announceRecordingFile(file);
            recoverFileKeepingGoing(run, file, std::nullopt);
        }
    }
}

}  // namespace

namespace {

// The root directory's File Entry, or none with a loss noted when no File Set was found.
std::optional<FileEntry> readRootOrNoteLoss(Volume& volume, const VolumeDescriptors& descriptors,
                                            std::uint32_t* rootSector)
{
    if (!descriptors.fileSetFound) {
        noteLoss(volume, "no usable Logical Volume Descriptor: the directory tree cannot be walked");
        return std::nullopt;
    }
    return readRootDirectory(volume, descriptors.fileSetBlock, rootSector);
}

}  // namespace

ReusableTargets findReusableTargets(Drive& drive, std::uint16_t profile)
{
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const VolumeDescriptors descriptors = readVolumeDescriptorsFromAnyAnchor(drive);
    Volume volume{drive, descriptors.partition, true};
    volume.fixedAreas = profile == kProfileDvdRwRestrictedOverwrite;
    std::uint32_t rootSector = 0;
    const std::optional<FileEntry> root = readRootOrNoteLoss(volume, descriptors, &rootSector);
    ReusableTargets found;
    walkToReusableTargets(
        volume, root, rootSector, [&](const CopyTarget& target) { found.targets.push_back(target); },
        [] { return false; });
    found.losses = volume.losses;
    return found;
}

FileSystemRun openFileSystemRun(const char* devicePath, const RunOptions& options)
{
    Drive drive = Drive::open(devicePath);
    const std::uint16_t profile = requireDvdVrProfile(drive);
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const RescueSettings settings = prepareReads(drive, options);
    VolumeDescriptors descriptors{};
    if (options.keepGoing) {
        descriptors = readVolumeDescriptorsFromAnyAnchor(drive);
    } else {
        const AnchorPointer anchor = readAnchor(drive);
        descriptors.partition = readPartition(drive, anchor.mainSequence);
        descriptors.fileSetBlock = readFileSetBlock(drive, anchor.mainSequence, descriptors.partition);
    }
    return FileSystemRun{std::move(drive), profile, settings, descriptors};
}

RunResult recoverReusableAreas(const char* devicePath, const RunOptions& options)
{
    FileSystemRun run = openFileSystemRun(devicePath, options);
    Drive& drive = run.drive;
    const std::uint16_t profile = run.profile;
    const VolumeDescriptors& descriptors = run.descriptors;
    Volume volume{drive, descriptors.partition, options.keepGoing};
    volume.fixedAreas = profile == kProfileDvdRwRestrictedOverwrite;
    std::uint32_t rootSector = 0;
    const std::optional<FileEntry> root = readRootOrNoteLoss(volume, descriptors, &rootSector);
    std::optional<RescueSession> rescue;
    if (options.keepGoing) {
        rescue.emplace(drive, run.settings,
                       options.mapfile.empty() ? DiscIdentity{} : reusableDiscIdentity(drive, profile));
    }
    if (!rescue) {
        forEachRecordingFile(volume, *root, rootSector, [&](RecordingFile file, const LongAddress& fileEntry) {
            recoverFile(volume, file, fileEntry);
        });
        return RunResult::Complete;
    }
    walkToReusableTargets(
        volume, root, rootSector,
        [&](const CopyTarget& target) {
            if (!rescue->interrupted()) {
                rescue->copy(target);
            }
        },
        [&] { return rescue->interrupted(); });
    rescue->finish();
    if (rescue->interrupted()) {
        return RunResult::Interrupted;
    }
    return rescue->unreadable() || volume.losses != 0 ? RunResult::Unreadable : RunResult::Complete;
}
