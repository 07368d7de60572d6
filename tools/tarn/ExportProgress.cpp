#include "ExportProgress.h"

#include <cmath>
#include <cstdio>

#include <unistd.h>

#include "StopSignals.h"

namespace tarncli {
namespace {

// "1:05" or "2:01:05".
std::string Clock(double seconds) {
    const long long whole = std::llround(seconds);
    char text[32];
    if (whole >= 3600)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                 whole % 60);
    else
        snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

void DrawBar(ExportDisplay* display, const tarn_export_progress& p) {
    constexpr int kWidth = 40;
    const int filled =
        p.tiles_total > 0 ? static_cast<int>(kWidth * p.tiles_done / p.tiles_total) : kWidth;
    const int64_t made = p.tiles_done - p.tiles_skipped;
    const double rate = p.seconds > 0 ? static_cast<double>(made) / p.seconds : 0.0;
    std::string pace;
    if (rate > 0) {
        char text[96];
        snprintf(text, sizeof text, ", %.0f tiles/s, %s left", rate,
                 Clock(static_cast<double>(p.tiles_total - p.tiles_done) / rate).c_str());
        pace = text;
    }
    const std::string slide = p.slide_count > 1 ? "slide " + std::to_string(p.slide_index + 1) +
                                                      "/" + std::to_string(p.slide_count) + " "
                                                : "";
    // Trailing spaces clear what a longer line left.
    fprintf(stderr, "\r%s[%.*s%*s] %lld/%lld tiles%s   ", slide.c_str(), filled,
            "########################################", kWidth - filled, "",
            static_cast<long long>(p.tiles_done), static_cast<long long>(p.tiles_total),
            pace.c_str());
    fflush(stderr);
    display->barOpen = true;
}

}  // namespace

void CloseBar(ExportDisplay* display) {
    if (!display->barOpen) return;
    fputc('\n', stderr);
    display->barOpen = false;
}

int ShowExportProgress(void* context, const tarn_export_progress* progress) {
    auto* display = static_cast<ExportDisplay*>(context);
    const tarn_export_progress& p = *progress;
    display->done = p.tiles_done;
    display->total = p.tiles_total;
    display->output = p.output;
    const bool bar = display->terminal && !display->quiet;
    switch (p.event) {
        case TARN_EXPORT_SLIDE_STARTED:
            if (!display->quiet) {
                printf("%s\n", p.summary);
                fflush(stdout);
            }
            break;
        case TARN_EXPORT_TILES:
            if (bar) DrawBar(display, p);
            break;
        case TARN_EXPORT_SLIDE_FINISHED: {
            if (bar) DrawBar(display, p);
            CloseBar(display);
            // Said even with --quiet: the output is not the slide's whole picture.
            if (p.tiles_damaged > 0)
                fprintf(stderr, "tarn: %lld %s of %s could not be read and %s white in %s\n",
                        static_cast<long long>(p.tiles_damaged),
                        p.tiles_damaged == 1 ? "tile" : "tiles", p.slide,
                        p.tiles_damaged == 1 ? "is" : "are", p.output);
            if (display->quiet) break;
            const int64_t written = p.tiles_done - p.tiles_skipped;
            const std::string kept =
                p.tiles_skipped > 0 ? " (" + std::to_string(p.tiles_skipped) + " already there)"
                                    : "";
            printf("wrote %lld tiles to %s%s in %.2f s (%.0f tiles/s, %d threads)\n",
                   static_cast<long long>(written), p.output, kept.c_str(), p.seconds,
                   p.seconds > 0 ? static_cast<double>(written) / p.seconds : 0.0, p.threads);
            fflush(stdout);
            break;
        }
    }
    return StopSignal() != 0 ? 1 : 0;
}

int RunShown(tarn_export_job* job, const std::vector<std::string>& slides,
             const std::string& output, int threads, bool quiet, ExportDisplay* display) {
    for (const std::string& slide : slides)
        tarn_export_job_add_slide(job, slide.c_str());
    tarn_export_job_set_output(job, output.c_str());
    tarn_export_job_set_threads(job, threads);
    display->quiet = quiet;
    display->terminal = isatty(STDERR_FILENO) != 0;
    tarn_export_job_set_progress(job, ShowExportProgress, display);
    tarn_export_job_set_cancel(job, StopFlag());
    CatchStopSignals();
    const int result = tarn_export_job_run(job);
    CloseBar(display);
    return result;
}

}  // namespace tarncli
