// Thumbnails from the media module, loaded the first time they are asked for. Without the
// module, the same as a build without FFmpeg (thumbnail_none.cpp), with the reason.
#include "modules.h"
#include "thumbnail.h"

namespace pipeline {

std::string thumbnailsUnavailable()
{
    const auto& loaded = loadedModuleTable<ThumbnailFunctions>(kMediaModule, kThumbnailEntry);
    if (loaded.functions != nullptr)
        return "";
    return std::string(kNoThumbnailLibraries) + " (" + loaded.problem + ")";
}

Thumbnail thumbnailOf(const std::string& path, double fraction)
{
    const auto& loaded = loadedModuleTable<ThumbnailFunctions>(kMediaModule, kThumbnailEntry);
    if (loaded.functions == nullptr)
        return Thumbnail{"", 0, 0, thumbnailsUnavailable()};
    return loaded.functions->thumbnailOf(path, fraction);
}

}  // namespace pipeline
