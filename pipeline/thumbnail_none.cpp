#include "thumbnail.h"

namespace pipeline {

std::string thumbnailsUnavailable()
{
    return "this build has no FFmpeg libraries to decode pictures with";
}

Thumbnail thumbnailOf(const std::string&, double)
{
    return Thumbnail{"", 0, 0, thumbnailsUnavailable()};
}

}  // namespace pipeline
