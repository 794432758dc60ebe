// The remuxer of the media module, loaded the first time a recording is to be remuxed:
// the programs themselves link none of FFmpeg's libraries. Without the module, the same as
// a build without FFmpeg (remux_none.cpp), with the reason.
#include "modules.h"
#include "recordings.h"

namespace vrsplit {

namespace {

struct LoadedRemuxer {
    const RemuxFunctions* functions = nullptr;
    std::string problem;  // when there are none
};

const LoadedRemuxer& loadedRemuxer()
{
    static const LoadedRemuxer loaded = [] {
        LoadedRemuxer remuxer;
        remuxer.functions = moduleTable<RemuxFunctions>(kMediaModule, kRemuxEntry, remuxer.problem);
        return remuxer;
    }();
    return loaded;
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
    const LoadedRemuxer& remuxer = loadedRemuxer();
    if (remuxer.functions == nullptr) {
        result = RemuxResult{};
        error = path + ": " + kNoRemuxLibraries + " (" + remuxer.problem + ")";
        return false;
    }
    return remuxer.functions->remuxRecording(job, path, progress, result, error);
}

}  // namespace vrsplit
