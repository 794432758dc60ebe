// A picture from a recording: one frame, decoded and scaled through FFmpeg's libraries
// and stored as JPEG, where the build has them (thumbnail_ffmpeg.cpp in the media module,
// which thumbnail_module.cpp loads; thumbnail_none.cpp says why not).
#pragma once

#include <string>

namespace pipeline {

constexpr int kThumbnailWidth = 160;  // the height follows the picture's display aspect

struct Thumbnail {
    std::string jpeg;  // empty when there is none, and then `problem` says why
    int width = 0, height = 0;
    std::string problem;
};

constexpr char kNoThumbnailLibraries[] = "this build has no FFmpeg libraries to decode pictures with";

// Empty where thumbnails can be made, else why not.
std::string thumbnailsUnavailable();
// The first whole picture (an intra-coded frame) from about `fraction` of the way into
// the MPEG program stream file `path`.
Thumbnail thumbnailOf(const std::string& path, double fraction);

// What the media module's entry point kThumbnailEntry returns.
struct ThumbnailFunctions {
    const char* version;  // of the sources the module was built from
    Thumbnail (*thumbnailOf)(const std::string& path, double fraction);
};
constexpr char kThumbnailEntry[] = "vrsalvageThumbnailFunctions";

}  // namespace pipeline
