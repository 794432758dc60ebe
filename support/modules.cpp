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
    const std::string path = (folder / name).lexically_normal().string();
    void* module = platformLoadModule(path.c_str(), &problem);
    return module != nullptr ? platformModuleSymbol(module, entry, &problem) : nullptr;
}
