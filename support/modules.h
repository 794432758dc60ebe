// Modules of the programs: shared objects that hold what only some runs need (FFmpeg's
// libraries, with the hundred and more libraries they load), opened the first time a run
// asks for them so that every other run starts without them.
#pragma once

#include <cstring>
#include <string>

#include "version.h"

// Thumbnails and remuxing through FFmpeg's libraries.
constexpr char kMediaModule[] = "vrsalvage-media.so";
// Where the programs look for their modules: this folder relative to the folder of the
// program's own file (bin/../lib/vrsalvage), unless the environment variable names another.
constexpr char kModuleFolder[] = "../lib/vrsalvage";
constexpr char kModuleFolderVariable[] = "VRSALVAGE_MODULE_DIR";

// The address of `entry` in the module file `name`, which is loaded (once; later calls
// find it loaded) from the module folder. Null with `problem` when it cannot be had.
void* moduleEntry(const char* name, const char* entry, std::string& problem);

// A module's entry point returns its table of functions, which begins with the version of
// the sources it was built from: a module of another version is not used, as its tables
// may be laid out differently.
template <typename Table>
const Table* moduleTable(const char* name, const char* entry, std::string& problem)
{
    void* address = moduleEntry(name, entry, problem);
    if (address == nullptr)
        return nullptr;
    const Table* table = reinterpret_cast<const Table* (*)()>(address)();
    if (table == nullptr || table->version == nullptr || std::strcmp(table->version, kVersion) != 0) {
        problem = std::string(name) + " is of version " +
                  (table != nullptr && table->version != nullptr ? table->version : "?") + ", the program of version " +
                  kVersion;
        return nullptr;
    }
    return table;
}

// A module's table of functions, loaded the first time it is asked for and kept for the
// rest of the run; `functions` null with the reason in `problem` when it cannot be had.
template <typename Table>
struct LoadedModuleTable {
    const Table* functions = nullptr;
    std::string problem;
};

template <typename Table>
const LoadedModuleTable<Table>& loadedModuleTable(const char* name, const char* entry)
{
    static const LoadedModuleTable<Table> loaded = [&] {
        LoadedModuleTable<Table> table;
        table.functions = moduleTable<Table>(name, entry, table.problem);
        return table;
    }();
    return loaded;
}
