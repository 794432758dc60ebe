// The command line: long options first, then the switch and the drive
// argument as they have always been.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "recordings_run.h"
#include "report.h"
#include "support.h"
#include "version.h"
#include "vrsalvage.h"

namespace {

constexpr int kUsageStatus = 2;
// The fastest DVD drives read at 24x; SET CD SPEED takes up to 65,535 kB/s.
constexpr std::uint32_t kMaxSpeedTimes = 47;

void printUsage()
{
    std::printf("parameters: [<switch>] <Drive Letter>\n");
    std::printf("switches: -r=only reusable area\n");
}

void printHelp()
{
    std::printf("usage: vrsalvage [options] [-r] <Drive Letter>\n");
    printUsage();
    std::printf(
        "options (before the drive argument):\n"
        "  -f, --files           copy every file of DVD_RTAV through the file system: its\n"
        "                        recorded extents as read, the others as zeros\n"
        "  --keep-going          go on past unreadable sectors: they are retried, written as\n"
        "                        zeros in their place and listed at the end\n"
        "  --retries=N           N more passes over the sectors still unreadable (default 0)\n"
        "  --mapfile=FILE        keep the state of the run in FILE, a GNU ddrescue mapfile, and\n"
        "                        resume from it in the folder of the files it describes\n"
        "                        (implies --keep-going)\n"
        "  --image-mapfile=FILE  the drive is a disc image with the mapfile ddrescue wrote:\n"
        "                        sectors it does not mark rescued read as unreadable\n"
        "  --speed=N             ask the drive to read at N x 1,385 kB/s (DVD 1x), or with\n"
        "                        --speed=max at its own speed, and show what it reports\n"
        "  --slow-retries        with --keep-going: the sector-by-sector and retry passes at\n"
        "                        the lowest speed the drive offers\n"
        "  --log-rates=FILE      with --keep-going: the rates and the bad areas once a second\n"
        "                        in FILE, as GNU ddrescue's --log-rates writes them\n"
        "  --recordings=DIR      the whole job: the recording files (from the fixed layout where\n"
        "                        it is in place, else through the file system), the free blocks\n"
        "                        (keep-going, the mapfile in DIR/disc), one file per recording\n"
        "                        in DIR and the disc report DIR/report.html; run again to resume\n"
        "  --help                this text\n"
        "  --version             the version\n"
        "The drive argument is a drive letter on Windows; elsewhere a device node\n"
        "(/dev/sr0, /dev/sg1) or a disc image file.\n"
        "Exit status: 0 completed, 1 completed with unreadable sectors or interrupted,\n"
        "2 usage error, 255 fatal error.\n");
}

// "--name=value": true with `value` set when `argument` is that option.
bool valueOption(const char* argument, const char* name, std::string* value)
{
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') {
        return false;
    }
    *value = argument + length + 1;
    return true;
}

bool parseCount(const std::string& text, std::uint32_t* count)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *count = static_cast<std::uint32_t>(std::stoul(text));
    return true;
}

// One long option into `options`; a usage error leaves its one-line message
// in `problem`. Returns the exit status of an option that ends the run
// (--help, --version) or -1.
int takeOption(const char* argument, RunOptions* options, std::string* problem)
{
    std::string value;
    if (std::strcmp(argument, "--help") == 0) {
        printHelp();
        return 0;
    }
    if (std::strcmp(argument, "--version") == 0) {
        std::printf("vrsalvage %s\n", kVersion);
        return 0;
    }
    if (std::strcmp(argument, "--files") == 0) {
        options->files = true;
    } else if (std::strcmp(argument, "--keep-going") == 0) {
        options->keepGoing = true;
    } else if (valueOption(argument, "--retries", &value)) {
        if (!parseCount(value, &options->retries)) {
            *problem = "bad value for --retries: \"" + value + "\" (a number of passes, 0 to 999999)";
        }
    } else if (valueOption(argument, "--mapfile", &value)) {
        if (value.empty()) {
            *problem = "bad value for --mapfile: a file name is needed";
        }
        options->mapfile = value;
        options->keepGoing = true;
    } else if (valueOption(argument, "--speed", &value)) {
        std::uint32_t times = 0;
        if (value == "max") {
            options->speedKBs = 0;
        } else if (parseCount(value, &times) && times >= 1 && times <= kMaxSpeedTimes) {
            options->speedKBs = times * kDvdSpeedKBs;
        } else {
            *problem = "bad value for --speed: \"" + value + "\" (1 to " + std::to_string(kMaxSpeedTimes) + ", or max)";
        }
    } else if (valueOption(argument, "--log-rates", &value)) {
        if (value.empty()) {
            *problem = "bad value for --log-rates: a file name is needed";
        }
        options->rateLog = value;
    } else if (std::strcmp(argument, "--slow-retries") == 0) {
        options->slowRetries = true;
    } else if (valueOption(argument, "--image-mapfile", &value)) {
        if (value.empty()) {
            *problem = "bad value for --image-mapfile: a file name is needed";
        }
        options->imageMapfile = value;
    } else if (valueOption(argument, "--recordings", &value)) {
        if (value.empty()) {
            *problem = "bad value for --recordings: a folder is needed";
        }
        options->recordings = value;
    } else {
        *problem = std::string("unknown option: ") + argument;
    }
    return -1;
}

// Whether two paths name the same file, existing or not.
bool samePath(const std::string& a, const std::string& b)
{
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) {
        return true;
    }
    std::error_code leftError;
    std::error_code rightError;
    const std::filesystem::path left = std::filesystem::weakly_canonical(std::filesystem::absolute(a), leftError);
    const std::filesystem::path right = std::filesystem::weakly_canonical(std::filesystem::absolute(b), rightError);
    return !leftError && !rightError && left == right;
}

// The files a run may write, checked before anything is opened: a mapfile
// that would replace an output file, the image's own mapfile or the image,
// or one this program did not write, is refused. Empty when all is well.
std::string checkPaths(const RunOptions& options, const char* drive)
{
    if (options.mapfile.empty()) {
        return "";
    }
    const std::string temporary = options.mapfile + ".tmp";
    for (const char* output : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
        if (samePath(options.mapfile, output) || samePath(temporary, output)) {
            return "--mapfile=" + options.mapfile + " would replace the output file " + output;
        }
    }
    if (!options.imageMapfile.empty() &&
        (samePath(options.mapfile, options.imageMapfile) || samePath(temporary, options.imageMapfile))) {
        return "--mapfile and --image-mapfile name the same file: the image's mapfile is only read";
    }
    if (samePath(options.mapfile, drive) || samePath(temporary, drive)) {
        return "--mapfile names the drive argument";
    }
    std::ifstream in(options.mapfile, std::ios::binary);
    std::string first;
    if (in && std::getline(in, first) && !isOwnMapfile(first)) {
        return "the mapfile " + options.mapfile +
               " was not written by vrsalvage; it is only read, never rewritten: " + "give --mapfile a new file";
    }
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(options.mapfile, error).parent_path();
    if (error || !std::filesystem::is_directory(folder, error)) {
        return "--mapfile=" + options.mapfile + ": no such folder";
    }
    return "";
}

// --recordings: the pipeline, its stages and its summary on standard output.
int runRecordingsJob(const RunOptions& options, const char* drive)
{
    return runReportingFatalErrors([&] {
        const std::string path = devicePath(drive);
        std::string problem;
        if (!options.imageMapfile.empty() && !platformUseImageMapfile(options.imageMapfile.c_str(), &problem)) {
            fail(problem.c_str());
        }
        pipeline::RecordingsSink sink;
        sink.stage = [](const std::string& stage) { std::printf("== %s\n", stage.c_str()); };
        const pipeline::RecordingsOutcome outcome = pipeline::runRecordings(
            path.c_str(), pipeline::RecordingsSettings{options.recordings, options.retries, kVersion}, sink);
        if (outcome.interrupted) {
            std::printf("interrupted: run the same command again to resume\n");
            return 1;
        }
        std::printf("%u recording(s) found: %u live, %u erased; %llu unreadable sector(s), %.1f s of video affected\n",
                    outcome.live + outcome.erased, outcome.live, outcome.erased,
                    static_cast<unsigned long long>(outcome.unreadableSectors), outcome.secondsAffected);
        std::printf("report: %s\n", outcome.report.c_str());
        std::printf("completed\n");
        return outcome.everythingRead ? 0 : 1;
    });
}

}  // namespace

int runVrsalvage(int argc, char** argv)
{
    // Long options may stand anywhere before the drive argument; the other
    // arguments keep their meaning and their places.
    RunOptions options;
    std::vector<char*> arguments;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            std::string problem;
            const int status = takeOption(argv[i], &options, &problem);
            if (status >= 0) {
                return status;
            }
            if (!problem.empty()) {
                std::printf("%s\n", problem.c_str());
                return kUsageStatus;
            }
            continue;
        }
        arguments.push_back(argv[i]);
    }
    for (const auto& [given, name] :
         {std::pair{options.slowRetries, "--slow-retries"}, std::pair{!options.rateLog.empty(), "--log-rates"}}) {
        if (given && !options.keepGoing) {
            std::printf("%s needs --keep-going or --mapfile\n", name);
            return kUsageStatus;
        }
    }
    for (int i = 0; i < argc; i++) {
        options.commandLine.append(i == 0 ? "" : " ").append(argv[i]);
    }
    if (arguments.empty() || arguments.size() > 2) {
        printUsage();
        return 0;
    }
    const bool reusable = arguments.size() == 2 && std::strcmp(arguments[0], "-r") == 0;
    options.files = options.files || (arguments.size() == 2 && std::strcmp(arguments[0], "-f") == 0);
    if ((arguments.size() == 2 && !reusable && !options.files) || (reusable && options.files)) {
        std::printf("parameter error\n");
        return kUsageStatus;
    }
    if (!options.recordings.empty()) {
        if (arguments.size() != 1 || !options.mapfile.empty()) {
            std::printf(
                "--recordings goes with neither -r nor --mapfile: it reads both and keeps its mapfile in DIR/disc\n");
            return kUsageStatus;
        }
        return runRecordingsJob(options, arguments.back());
    }
    if (const std::string problem = checkPaths(options, arguments.back()); !problem.empty()) {
        std::printf("%s\n", problem.c_str());
        return kUsageStatus;
    }
    return runReportingFatalErrors([&] {
        const std::string path = devicePath(arguments.back());
        std::string problem;
        if (!options.imageMapfile.empty() && !platformUseImageMapfile(options.imageMapfile.c_str(), &problem)) {
            fail(problem.c_str());
        }
        const RunResult result = options.files ? copyDirectoryFiles(path.c_str(), options)
                                 : reusable    ? recoverReusableAreas(path.c_str(), options)
                                               : copyFixedLayout(path.c_str(), options);
        if (result == RunResult::Interrupted) {
            return 1;
        }
        std::printf("completed\n");
        return result == RunResult::Complete ? 0 : 1;
    });
}
