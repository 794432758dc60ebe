// A build without FFmpeg's libraries (the Windows cross builds, the static one): only the
// program streams as recorded.
#include "recordings.h"

namespace vrsplit {

bool remuxAvailable()
{
    return false;
}

std::string remuxModuleProblem()
{
    return "";
}

bool remuxRecording(const RemuxJob& /*job*/, const std::string& path,
                    const std::function<void(const RemuxProgress&)>& /*progress*/, RemuxResult& result,
                    std::string& error)
{
    result = RemuxResult{};
    error = path + ": " + kNoRemuxLibraries;
    return false;
}

}  // namespace vrsplit
