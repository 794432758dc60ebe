#include "salvage_job.h"

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "report.h"
#include "report_sink.h"
#include "support.h"
#include "version.h"

SalvageJob::~SalvageJob()
{
    stop();
    join();
}

void SalvageJob::start(const JobRequest& request, void (*changed)(void*), void* context)
{
    join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        view_ = JobView{};
        view_.running = true;
        mapChanged_ = true;
    }
    changed_ = changed;
    context_ = context;
    platformSetInterrupted(false);
    worker_ = std::thread([this, request] { run(request); });
}

void SalvageJob::stop()
{
    platformSetInterrupted(true);
}

void SalvageJob::join()
{
    if (worker_.joinable())
        worker_.join();
}

JobView SalvageJob::view()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return view_;
}

bool SalvageJob::takeMapChange()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool changed = mapChanged_;
    mapChanged_ = false;
    return changed;
}

void SalvageJob::notify()
{
    if (changed_ != nullptr)
        changed_(context_);
}

namespace {

// The libraries' report lines, kept for the window; the progress comes through the
// pipeline's sink, disc-wide.
class KeptText : public ReportSink {
public:
    KeptText(std::mutex& mutex, std::string& text) : mutex_(mutex), text_(text) {}
    void text(std::string_view text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(text);
    }
    void progress(const ProgressEvent&) override {}

private:
    std::mutex& mutex_;
    std::string& text_;
};

}  // namespace

// The same run and the same words as vrsalvage --recordings, with the console's lines
// kept for the window instead of printed.
void SalvageJob::run(JobRequest request)
{
    KeptText kept(mutex_, view_.text);
    ReportSinkScope scope(kept);
    pipeline::RecordingsSink sink;
    sink.stage = [this](const std::string& stage) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            view_.stage = stage;
            view_.text += "== " + stage + "\n";
        }
        notify();
    };
    sink.layout = [this](std::uint64_t sectors, const std::vector<pipeline::MapArea>& areas) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            view_.discSectors = sectors;
            view_.areas = areas;
            mapChanged_ = true;
        }
        notify();
    };
    sink.progress = [this](const pipeline::ReadProgress& progress) {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.progress = progress;
        view_.statuses.set(progress.first, progress.first + progress.count, progress.status);
        mapChanged_ = true;
    };
    int status = 0;
    std::string text;
    pipeline::RecordingsOutcome outcome;
    try {
        const std::string path = devicePath(request.source.c_str());
        pipeline::RecordingsSettings settings{request.folder, 0, kVersion};
        settings.erasedRecordings = request.erasedRecordings;
        outcome = pipeline::runRecordings(path.c_str(), settings, sink);
        if (outcome.interrupted) {
            text = "interrupted: Start again to go on where it stopped\n";
            status = 1;
        } else {
            char line[200];
            std::snprintf(line, sizeof line,
                          "%u recording(s) found: %u live, %u erased; %" PRIu64
                          " unreadable sector(s), %.1f s of video affected\n",
                          outcome.live + outcome.erased, outcome.live, outcome.erased, outcome.unreadableSectors,
                          outcome.secondsAffected);
            text = line;
            text += "completed\n";
            status = outcome.everythingRead ? 0 : 1;
        }
    } catch (const FatalError& error) {
        text = error.report;
        status = 255;
    } catch (const std::exception& error) {
        text = std::string("*** Error!\n") + error.what() + "\n";
        status = 255;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.running = false;
        view_.ended = true;
        view_.status = status;
        if (!view_.text.empty() && view_.text.back() != '\n')
            view_.text += '\n';
        view_.text += text;
        if (!outcome.areas.empty())
            view_.areas = outcome.areas;
        view_.outcome = std::move(outcome);
        mapChanged_ = true;
    }
    notify();
}
