#include "thumbnail.h"

namespace pipeline {

std::string thumbnailsUnavailable()
{
    return kNoThumbnailLibraries;
}

Thumbnail thumbnailOf(const std::string&, double)
{
    return Thumbnail{"", 0, 0, thumbnailsUnavailable()};
}

}  // namespace pipeline
