// Standard output as the console programs' report sink.
#include <cstdio>

#include "report_sink.h"

namespace {

class ConsoleSink final : public ReportSink {
public:
    void text(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
    void progress(const ProgressEvent& event) override
    {
        const std::string line = statusLineText(event);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    void flush() override { std::fflush(stdout); }
};

}  // namespace

ReportSink& consoleSink()
{
    static ConsoleSink sink;
    return sink;
}
