// mkvrdisc RECIPE IMAGE: builds a DVD-VR disc image and IMAGE.record from a recipe.
#include "mkvrdisc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxRecipe = 16 << 20;

std::string ReadRecipe(const std::string& path)
{
    std::string text;
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f)
        Fail(path + ": " + std::strerror(errno));
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
        if (text.size() > kMaxRecipe)
            Fail(path + ": the recipe is larger than 16 MiB");
    }
    if (std::ferror(f))
        Fail(path + ": " + std::strerror(errno));
    if (f != stdin)
        std::fclose(f);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf(
            "usage: mkvrdisc RECIPE IMAGE\n"
            "Builds a DVD-VR disc image (UDF, 2048-byte sectors) as a sparse file from RECIPE\n"
            "('-' reads standard input) and writes IMAGE.record; see tools/mkvrdisc/README.md.\n");
        return 0;
    }
    if (argc != 3 || argv[2][0] == '\0') {
        std::fprintf(stderr, "usage: mkvrdisc RECIPE IMAGE\n");
        return 1;
    }
    g_recipe_name = argv[1];
    Recipe recipe = ParseRecipe(ReadRecipe(argv[1]));
    ResolveManagementContent(recipe, argv[2]);
    Image image = BuildLayout(recipe);
    PlaceManagementContent(recipe, argv[2]);
    WriteImage(recipe, image, argv[2]);
    WriteRecord(recipe, image, argv[2]);
    return 0;
}
