// How `tarn export` shows a run: each slide's plan in one line, a bar with the rate and the time
// left on a terminal, and one line per slide when it is written; nothing with --quiet. It also
// turns a stop signal into the library's cancel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarn_export.h"

namespace tarncli {

struct ExportDisplay {
    bool quiet = false;
    bool terminal = false;  // stderr is a terminal
    bool barOpen = false;   // a bar is drawn on the current line of stderr
    // The last report's figures, for a message after a cancel.
    int64_t done = 0;
    int64_t total = 0;
    std::string output;
};

// The progress callback (its context an ExportDisplay).
int ShowExportProgress(void* context, const tarn_export_progress* progress);

// Ends the bar's line, before a message.
void CloseBar(ExportDisplay* display);

// Gives `job` its slides, output and threads, runs it with its progress shown (nothing when
// `quiet`) and a stop signal cancelling it, and returns tarn_export_job_run's result.
int RunShown(tarn_export_job* job, const std::vector<std::string>& slides,
             const std::string& output, int threads, bool quiet, ExportDisplay* display);

}  // namespace tarncli
