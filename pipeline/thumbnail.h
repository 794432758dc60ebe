// A picture from a recording: one frame, decoded and scaled through FFmpeg's libraries
// and stored as JPEG, where the build has them (thumbnail_ffmpeg.cpp; thumbnail_none.cpp
// says why not).
#pragma once

#include <string>

namespace pipeline {

constexpr int kThumbnailWidth = 160;  // the height follows the picture's display aspect

struct Thumbnail {
    std::string jpeg;  // empty when there is none, and then `problem` says why
    int width = 0, height = 0;
    std::string problem;
};

// Empty where thumbnails can be made, else why not.
std::string thumbnailsUnavailable();
// The first whole picture (an intra-coded frame) from about `fraction` of the way into
// the MPEG program stream file `path`.
Thumbnail thumbnailOf(const std::string& path, double fraction);

}  // namespace pipeline
