// The disc report of a full single-layer DVD: many recordings with their pictures, erased
// ones, unreadable areas across the disc and a read rate all along. The page and its JSON
// stay small enough to mail and open at once, and are made in well under a second.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "disc_report.h"

namespace {

using pipeline::AreaKind;

constexpr std::uint64_t kDiscSectors = 2295104;  // 4.7 GB
constexpr std::uint64_t kMovieFirst = 10112;
constexpr std::size_t kThumbnailBytes = 8 * 1024;  // more than the 160-pixel JPEGs of the sample take

// `live` recordings one after the other over the movie area with `erased` ones in gaps
// between them, and `unreadable` areas of a few sectors spread over the disc.
pipeline::DiscReport discModel(unsigned live, unsigned erased, unsigned unreadable)
{
    std::mt19937 random(7);
    pipeline::DiscReport report;
    report.volume = "DVD_VIDEO_RECORDER";
    report.medium = "DVD-RW Restricted Overwrite (profile 0x0013)";
    report.recordedSectors = kDiscSectors;
    report.readAt = "2026-01-01 00:00:00 UTC";
    report.version = "model";
    report.areas = {{AreaKind::FileSystem, 0, 8752, 0, "file-system structures"},
                    {AreaKind::Management, 8752, 1360, 0, "the management file VR_MANGR.IFO"},
                    {AreaKind::Movie, kMovieFirst, kDiscSectors - kMovieFirst, 0, "the movie file VR_MOVIE.VRO"}};
    const unsigned count = live + erased;
    const std::uint64_t each = (kDiscSectors - kMovieFirst) / count;
    for (unsigned n = 1; n <= count; ++n) {
        pipeline::RecordingEntry entry;
        entry.number = n;
        entry.erased = n > live;
        entry.recordedAt = "2024-05-18 14:02:11";
        entry.seconds = static_cast<double>(each) * 2048 / 1.25e6;
        entry.title = "Recording with a title of some length " + std::to_string(n);
        entry.firstSector = kMovieFirst + (n - 1) * each;
        entry.sectorCount = each;
        entry.size = each * 2048;
        entry.file = std::to_string(n) + "_2024-05-18_14-02-11_" + entry.title + ".mpg";
        entry.thumbnail.resize(kThumbnailBytes);
        for (char& byte : entry.thumbnail)
            byte = static_cast<char>(random());
        report.areas.push_back({entry.erased ? AreaKind::Erased : AreaKind::Live, entry.firstSector, each, n,
                                "recording " + std::to_string(n) + " \"" + entry.title + "\""});
        report.recordings.push_back(std::move(entry));
    }
    for (unsigned i = 0; i < unreadable; ++i) {
        const std::uint64_t first = random() % (kDiscSectors - 16);
        const std::uint64_t sectors = 1 + random() % 16;
        report.areas.push_back({AreaKind::Unreadable, first, sectors, 0, "unreadable"});
        report.unreadableSectors += sectors;
    }
    for (std::uint64_t first = 0; first < kDiscSectors; first += kDiscSectors / 400)
        report.rate.push_back({first, kDiscSectors / 400, 1.0e7 + static_cast<double>(random() % 1000000)});
    return report;
}

TEST(ReportModel, AFullDiscsReportIsSmallAndQuick)
{
    struct Case {
        unsigned live, erased, unreadable;
    };
    for (const Case& c : {Case{99, 0, 0}, Case{60, 39, 500}, Case{40, 20, 5000}}) {
        const pipeline::DiscReport report = discModel(c.live, c.erased, c.unreadable);
        const auto started = std::chrono::steady_clock::now();
        const std::string html = pipeline::reportHtml(report);
        const std::string json = pipeline::reportJson(report);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%u live, %u erased, %u unreadable areas: report.html %zu bytes, report.json %zu bytes, %.3f s\n",
                    c.live, c.erased, c.unreadable, html.size(), json.size(), seconds);
        EXPECT_LT(html.size(), 2000000u);
        EXPECT_LT(json.size(), 2000000u);
        EXPECT_LT(seconds, 1.0);
    }
}

}  // namespace
