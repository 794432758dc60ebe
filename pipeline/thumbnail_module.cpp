// Thumbnails from the media module, loaded the first time they are asked for. Without the
// module, the same as a build without FFmpeg (thumbnail_none.cpp), with the reason.
#include "modules.h"
#include "thumbnail.h"

namespace pipeline {

namespace {

struct LoadedThumbnails {
    const ThumbnailFunctions* functions = nullptr;
    std::string problem;  // when there are none
};

const LoadedThumbnails& loadedThumbnails()
{
    static const LoadedThumbnails loaded = [] {
        LoadedThumbnails thumbnails;
        thumbnails.functions = moduleTable<ThumbnailFunctions>(kMediaModule, kThumbnailEntry, thumbnails.problem);
        if (thumbnails.functions == nullptr)
            thumbnails.problem = std::string(kNoThumbnailLibraries) + " (" + thumbnails.problem + ")";
        return thumbnails;
    }();
    return loaded;
}

}  // namespace

std::string thumbnailsUnavailable()
{
    return loadedThumbnails().problem;
}

Thumbnail thumbnailOf(const std::string& path, double fraction)
{
    const LoadedThumbnails& thumbnails = loadedThumbnails();
    if (thumbnails.functions == nullptr)
        return Thumbnail{"", 0, 0, thumbnails.problem};
    return thumbnails.functions->thumbnailOf(path, fraction);
}

}  // namespace pipeline
