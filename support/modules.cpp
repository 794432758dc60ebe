#include "modules.h"

#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"

void* moduleEntry(const char* name, const char* entry, std::string& problem)
{
    std::filesystem::path folder;
    const char* chosen = std::getenv(kModuleFolderVariable);
    std::string program;
    if (chosen != nullptr && *chosen != '\0') {
        folder = chosen;
    } else if (platformProgramFile(&program)) {
        folder = std::filesystem::path(program).parent_path() / kModuleFolder;
    } else {
        problem = std::string(name) + ": the folder of the program's own file is not known";
        return nullptr;
    }
    // Never a bare file name, which the system would look for in its own folders.
    std::error_code failure;
    const std::filesystem::path file = std::filesystem::absolute(folder / name, failure);
    if (failure) {
        problem = (folder / name).string() + ": " + failure.message();
        return nullptr;
    }
    const std::string path = file.lexically_normal().string();
    void* module = platformLoadModule(path.c_str(), &problem);
    return module != nullptr ? platformModuleSymbol(module, entry, &problem) : nullptr;
}
