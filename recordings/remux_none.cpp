// A build without FFmpeg's libraries (the Windows cross builds, the static one): only the
// program streams as recorded.
#include "recordings.h"

namespace vrsplit {

bool remuxAvailable()
{
    return false;
}

bool remuxRecording(const RemuxJob& /*job*/, const std::string& path,
                    const std::function<void(const RemuxProgress&)>& /*progress*/, RemuxResult& result,
                    std::string& error)
{
    result = RemuxResult{};
    error = path + ": this build of vrsplit has no FFmpeg libraries";
    return false;
}

}  // namespace vrsplit
