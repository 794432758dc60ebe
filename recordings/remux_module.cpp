// The remuxer of the media module, loaded the first time a recording is to be remuxed:
// the programs themselves link none of FFmpeg's libraries. Without the module, the same as
// a build without FFmpeg (remux_none.cpp), with the reason.
#include "modules.h"
#include "recordings.h"

namespace vrsplit {

namespace {

const LoadedModuleTable<RemuxFunctions>& loadedRemuxer()
{
    return loadedModuleTable<RemuxFunctions>(kMediaModule, kRemuxEntry);
}

}  // namespace

bool remuxAvailable()
{
    return loadedRemuxer().functions != nullptr;
}

std::string remuxModuleProblem()
{
    return loadedRemuxer().problem;
}

bool remuxRecording(const RemuxJob& job, const std::string& path,
                    const std::function<void(const RemuxProgress&)>& progress, RemuxResult& result, std::string& error)
{
    const auto& remuxer = loadedRemuxer();
    if (remuxer.functions == nullptr) {
        result = RemuxResult{};
        error = path + ": " + kNoRemuxLibraries + " (" + remuxer.problem + ")";
        return false;
    }
    return remuxer.functions->remuxRecording(job, path, progress, result, error);
}

}  // namespace vrsplit
