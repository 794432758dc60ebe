// "-r" mode from start to end: the volume, the walk to the recording files,
// and for each of them its reusable map and its recovery file.
#include "vrsalvage.h"

namespace {

void recoverFile(Volume& volume, RecordingFile file, std::uint32_t fileEntryBlock, RescueSession* rescue)
{
    std::optional<ReusableMap> map = readSpaceBitmap(volume);
    if (!map) {
        return;
    }
    map->blocksBeyond = countBlocksBeyondMap(volume, *map);
    const FileEntry entry = readFileEntry(volume.drive, volume.partition.start + fileEntryBlock);
    const AllocationDescriptors descriptors = allocationDescriptors(entry);
    if (descriptors.form == AllocationForm::Embedded) {
        // The data live inside the File Entry: no blocks, no recovery file.
        return;
    }
    markUnrecordedExtents(volume, descriptors, *map);
    if (rescue == nullptr) {
        copyReusableBlocks(volume, file, *map);
    } else if (!rescue->interrupted()) {
        rescue->copy(reusableBlocksTarget(volume, file, *map));
    }
}

}  // namespace

RunResult recoverReusableAreas(const char* devicePath, const RunOptions& options)
{
    Drive drive = Drive::open(devicePath);
    const std::uint16_t profile = requireRestrictedOverwrite(drive);
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const RescueSettings settings = prepareReads(drive, options);
    VolumeDescriptors descriptors{};
    if (options.keepGoing) {
        descriptors = readVolumeDescriptorsFromAnyAnchor(drive);
    } else {
        const AnchorPointer anchor = readAnchor(drive);
        descriptors.partition = readPartition(drive, anchor.mainSequence);
        descriptors.fileSetBlock = readFileSetBlock(drive, anchor.mainSequence);
    }
    Volume volume{drive, descriptors.partition, options.keepGoing};
    const std::uint32_t fileSetBlock = descriptors.fileSetBlock;
    std::uint32_t rootSector = 0;
    const FileEntry root = readRootDirectory(volume, fileSetBlock, &rootSector);
    std::optional<RescueSession> rescue;
    if (options.keepGoing) {
        rescue.emplace(drive, settings,
                       options.mapfile.empty() ? DiscIdentity{} : reusableDiscIdentity(drive, profile));
    }
    walkToRecordingFiles(volume, root, rootSector, [&](RecordingFile file, std::uint32_t fileEntryBlock) {
        recoverFile(volume, file, fileEntryBlock, rescue ? &*rescue : nullptr);
    });
    if (!rescue) {
        return RunResult::Complete;
    }
    rescue->finish();
    if (rescue->interrupted()) {
        return RunResult::Interrupted;
    }
    return rescue->unreadable() || volume.unreadableDirectories != 0 ? RunResult::Unreadable : RunResult::Complete;
}
