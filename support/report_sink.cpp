#include "report_sink.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

thread_local ReportSink* currentSink = nullptr;

}  // namespace

ReportSink& reportSink()
{
    return currentSink != nullptr ? *currentSink : consoleSink();
}

ReportSinkScope::ReportSinkScope(ReportSink& sink) : previous_(currentSink)
{
    currentSink = &sink;
}

ReportSinkScope::~ReportSinkScope()
{
    currentSink = previous_;
}

void reportf(const char* format, ...)
{
    char small[256];
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        va_end(again);
        reportSink().text(std::string_view(small, static_cast<std::size_t>(length)));
        return;
    }
    std::vector<char> large(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    reportSink().text(std::string_view(large.data(), static_cast<std::size_t>(length)));
}

void reportText(std::string_view text)
{
    reportSink().text(text);
}

void reportFlush()
{
    reportSink().flush();
}

std::string statusLineText(const ProgressEvent& event)
{
    char left[32] = "?";
    if (event.secondsLeft >= 0) {
        const auto remaining = static_cast<unsigned long long>(event.secondsLeft);
        std::snprintf(left, sizeof left, "%llu:%02llu", remaining / 60, remaining % 60);
    }
    const std::uint64_t lost = event.bad * 2048;
    char bytes[32];
    if (lost < 10ull * 1024 * 1024) {
        std::snprintf(bytes, sizeof bytes, "%llu kB", static_cast<unsigned long long>(lost / 1024));
    } else {
        std::snprintf(bytes, sizeof bytes, "%llu MB", static_cast<unsigned long long>(lost / (1024 * 1024)));
    }
    char line[256];
    std::snprintf(line, sizeof line, "\r%.*s: %llu/%llu sectors, %llu bad, %s lost, %.1f MB/s, %s left   ",
                  static_cast<int>(event.phase.size()), event.phase.data(), static_cast<unsigned long long>(event.done),
                  static_cast<unsigned long long>(event.total), static_cast<unsigned long long>(event.bad), bytes,
                  event.bytesPerSecond / 1e6, left);
    return line;
}
