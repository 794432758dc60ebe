// "-r" mode from start to end: the volume, the walk to the recording files,
// and for each of them its reusable map and its recovery file.
#include "vrsalvage.h"

namespace {

void recoverFile(Volume& volume, RecordingFile file, std::uint32_t fileEntryBlock)
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
    copyReusableBlocks(volume, file, *map);
}

}  // namespace

void recoverReusableAreas(const char* devicePath)
{
    Drive drive = Drive::open(devicePath);
    requireRestrictedOverwrite(drive);
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const AnchorPointer anchor = readAnchor(drive);
    Volume volume{drive, readPartition(drive, anchor)};
    const std::uint32_t fileSetBlock = readFileSetBlock(drive, anchor);
    std::uint32_t rootSector = 0;
    const FileEntry root = readRootDirectory(volume, fileSetBlock, &rootSector);
    walkToRecordingFiles(volume, root, rootSector, [&](RecordingFile file, std::uint32_t fileEntryBlock) {
        recoverFile(volume, file, fileEntryBlock);
    });
}
