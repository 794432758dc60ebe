// vrsplit: one MPEG-2 program stream file per recording of a DVD-VR disc, from
// VR_MANGR.IFO + VR_MOVIE.VRO, or from raw movie data such as VR_MOVIE_R.VRO.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "recordings.h"
#include "recordings_run.h"
#include "rescue_map.h"
#include "salvage.h"
#include "version.h"

using namespace vrsplit;

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 2;
constexpr int kExitBadInput = 255;

const char kUsage[] =
    "usage: vrsplit [-o DIR] [--format=FORMAT] [--json] VR_MANGR.IFO VR_MOVIE.VRO\n"
    "       vrsplit --list [--json] VR_MANGR.IFO\n"
    "       vrsplit --erased [-o DIR] [--format=FORMAT] [--json] DATA [MANAGEMENT]\n"
    "       vrsplit --report=FILE [-o DIR] [--mapfile=MAP] VR_MANGR.IFO VR_MOVIE.VRO [DATA [MANAGEMENT]]\n";

const char kHelp[] =
    "Writes one MPEG-2 program stream file per recording of a DVD-VR disc.\n"
    "\n"
    "  VR_MANGR.IFO VR_MOVIE.VRO   cut the recordings that the management file describes,\n"
    "                              named NN_YYYY-MM-DD_HH-MM-SS_TITLE.mpg\n"
    "  --list VR_MANGR.IFO         print the table of recordings only\n"
    "  --erased DATA [MANAGEMENT]  find recordings in raw movie data (VR_MOVIE_R.VRO) by their\n"
    "                              packs and clock: erased_NN.mpg; MANAGEMENT (VR_MANGR_R.IFO)\n"
    "                              may hold older copies of the management file\n"
    "  -o, --output DIR            write the files into DIR, made when missing (default: the\n"
    "                              current directory)\n"
    "      --format=FORMAT         mpg: the MPEG-2 program stream as recorded (the default);\n"
    "                              mkv: Matroska, the streams copied, one chapter per cell;\n"
    "                              mp4: H.264 and AAC, deinterlaced, for phones (slow)\n"
    "      --json                  print the table as JSON\n"
    "      --report=FILE           cut the live recordings and, with DATA, the erased ones, and write\n"
    "                              the disc report FILE (HTML) and FILE.json; MAP: the mapfile of\n"
    "                              vrsalvage --mapfile, for the sectors that could not be read\n"
    "  -h, --help                  this text\n"
    "  -V, --version               the version\n"
    "\n"
    "Existing files are never overwritten. Exit status: 0 done, 1 done but some recordings\n"
    "could not be cut cleanly, 2 bad usage, 255 an input that is not what it claims to be.\n";

struct Options {
    bool list = false, erased = false, json = false;
    OutputFormat format = OutputFormat::Mpeg;
    std::string outputDir;
    std::string report, mapfile;
    std::vector<std::string> files;
};

int usageError(const std::string& message)
{
    std::fprintf(stderr, "vrsplit: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

// Returns -1 when the run goes on, else the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    bool onlyFiles = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
            options.files.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s\n%s", kUsage, kHelp);
            return kExitDone;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("vrsplit %s\n", kVersion);
            return kExitDone;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "--erased") {
            options.erased = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc)
                return usageError("option " + arg + " needs a directory");
            options.outputDir = argv[++i];
        } else if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
            if (arg == "--format" && i + 1 >= argc)
                return usageError("option --format needs mpg, mkv or mp4");
            std::string name = arg == "--format" ? argv[++i] : arg.substr(9);
            if (name != "mpg" && name != "mkv" && name != "mp4")
                return usageError("unknown format " + name + " (mpg, mkv or mp4)");
            options.format = name == "mkv"   ? OutputFormat::Matroska
                             : name == "mp4" ? OutputFormat::Mp4
                                             : OutputFormat::Mpeg;
        } else if (arg.rfind("--report=", 0) == 0 && arg.size() > 9) {
            options.report = arg.substr(9);
        } else if (arg.rfind("--mapfile=", 0) == 0 && arg.size() > 10) {
            options.mapfile = arg.substr(10);
        } else if (arg.rfind("--output=", 0) == 0) {
            options.outputDir = arg.substr(9);
        } else if (arg.rfind("-o", 0) == 0 && arg.size() > 2) {
            options.outputDir = arg.substr(2);
        } else {
            return usageError("unknown option " + arg);
        }
    }
    if (options.list && options.erased)
        return usageError("--list and --erased exclude each other");
    if (options.list && !options.outputDir.empty())
        return usageError("--list writes no files; -o does not go with it");
    if (options.list && options.format != OutputFormat::Mpeg)
        return usageError("--list writes no files; --format does not go with it");
    if (!options.report.empty()) {
        if (options.list || options.erased || options.json || options.format != OutputFormat::Mpeg)
            return usageError("--report goes with -o and --mapfile only");
        if (options.files.size() < 2 || options.files.size() > 4)
            return usageError("wrong number of input files");
        return -1;
    }
    if (!options.mapfile.empty())
        return usageError("--mapfile goes with --report");
    std::size_t wanted = options.list ? 1 : 2;
    if (options.files.size() < (options.erased ? 1 : wanted) || options.files.size() > wanted)
        return usageError(options.files.empty() ? "no input file given" : "wrong number of input files");
    return -1;
}

int fatal(const std::string& message)
{
    std::fprintf(stderr, "vrsplit: %s\n", message.c_str());
    return kExitBadInput;
}

void showProgress(unsigned number, const RemuxProgress& progress)
{
    double rate = progress.seconds > 0 ? static_cast<double>(progress.frames) / progress.seconds : 0;
    std::fprintf(stderr, "\rrecording %u: %3.0f%%, %llu frames, %.1f frames/s%s", number, progress.fraction * 100,
                 static_cast<unsigned long long>(progress.frames), rate, progress.fraction >= 1 ? "\n" : "");
    std::fflush(stderr);
}

void printReport(const Options& options, const Report& report)
{
    std::string text = options.json ? tableJson(report) : tableText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// --report: the recordings cut as without it, then the disc report of the files, the
// movie file taken where the fixed layout puts it.
int writeReport(const Options& options)
{
    for (const std::string& name : {options.report, options.report + ".json"}) {
        if (std::filesystem::exists(std::filesystem::u8path(name)))
            return fatal(name + ": exists already; it is never overwritten");
    }
    pipeline::DiscReport report;
    report.version = std::string("vrsplit ") + kVersion;
    report.volume = "(from files)";
    report.medium = "salvaged files";
    pipeline::DiscFiles files;
    files.management = options.files[0];
    files.movie = options.files[1];
    std::error_code error;
    const std::uint64_t movieSectors = std::filesystem::file_size(files.movie, error) / vrsplit::kSectorSize;
    if (error)
        return fatal(files.movie + ": cannot open (" + error.message() + ")");
    files.movieRuns.push_back(SectorRun{kMovieFirstSector, static_cast<std::uint32_t>(movieSectors)});
    files.freeMovie = options.files.size() > 2 ? options.files[2] : "";
    files.freeManagement = options.files.size() > 3 ? options.files[3] : "";
    report.recordedSectors = kMovieFirstSector + movieSectors;
    pipeline::addFixedLayoutAreas(report.recordedSectors, report);
    RescueAreas areas;
    if (!options.mapfile.empty()) {
        std::ifstream in(options.mapfile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string problem;
        const std::optional<RescueMap> map = parseRescueMap(text.str(), &problem);
        if (!in || !map)
            return fatal(options.mapfile + ": not a mapfile " + problem);
        areas = RescueAreas::fromMap(*map, vrsplit::kSectorSize);
        pipeline::addRescueAreas(*map, kManagementFirstSector, report.recordedSectors, report);
    } else {
        report.notes.push_back("no mapfile given: the files are taken as read whole");
    }
    const pipeline::CutSummary cut =
        pipeline::cutIntoReport(files, options.outputDir.empty() ? "." : options.outputDir, areas, report);
    report.readAt = pipeline::utcNow();
    for (const auto& [name, content] : {std::pair{options.report, pipeline::reportHtml(report)},
                                        std::pair{options.report + ".json", pipeline::reportJson(report)}}) {
        std::ofstream out(std::filesystem::u8path(name), std::ios::binary);
        out << content;
        if (!out.flush())
            return fatal(name + ": cannot write" + systemReason());
    }
    std::printf("%u recording(s): %u live, %u erased; report: %s\n", cut.live + cut.erased, cut.live, cut.erased,
                options.report.c_str());
    return cut.status;
}

int printed(const Options& options, const SplitResult& result)
{
    if (!result.fatal.empty())
        return fatal(result.fatal);
    printReport(options, result.report);
    return result.status;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status >= 0)
        return status;
    if (!options.outputDir.empty() && !options.list) {
        std::error_code failure;
        std::u8string dir(options.outputDir.begin(), options.outputDir.end());
        std::filesystem::create_directories(std::filesystem::path(dir), failure);
        if (failure)
            return fatal(options.outputDir + ": cannot create the output directory (" + failure.message() + ")");
    }
    if (options.format != OutputFormat::Mpeg && !remuxAvailable()) {
        std::fprintf(stderr, "vrsplit: --format=%s needs a build with FFmpeg's libraries; this one writes .mpg only\n",
                     extensionOf(options.format) + 1);
        if (const std::string problem = remuxModuleProblem(); !problem.empty())
            std::fprintf(stderr, "vrsplit: %s\n", problem.c_str());
        return kExitUsage;
    }
    if (!options.report.empty())
        return writeReport(options);
    SplitSettings settings;
    settings.list = options.list;
    settings.format = options.format;
    settings.outputDir = options.outputDir;
    settings.progress = showProgress;
    if (options.erased)
        return printed(options,
                       splitErased(settings, options.files[0], options.files.size() == 2 ? options.files[1] : ""));
    return printed(options, splitLive(settings, options.files[0], options.files.size() > 1 ? options.files[1] : ""));
}
