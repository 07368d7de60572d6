// tarn_export.h: the registry's descriptions, and jobs run slide by slide through the engine.
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "Engine.h"
#include "Files.h"
#include "Registry.h"
#include "Sources.h"
#include "tarn_export.h"
#include "util/Names.h"

struct tarn_export_job {
    explicit tarn_export_job(const tarnexport::FormatEntry* entry)
        : format(entry), options(&entry->options) {}

    struct Input {
        std::string filename;         // opened at its turn; empty for a caller's slide
        tarn_slide* slide = nullptr;  // the caller's
        std::string name;
    };

    const tarnexport::FormatEntry* format;
    tarnexport::OptionValues options;
    std::vector<Input> inputs;
    std::string output;
    int threads = 0;
    tarn_export_progress_fn progress = nullptr;
    void* progressContext = nullptr;
    const volatile int* cancel = nullptr;
    std::string error;
    bool failed = false;
};

namespace tarnexport {
namespace {

thread_local std::string createError;

int Failed(tarn_export_job* job, const std::string& why) {
    job->error = why;
    job->failed = true;
    return -1;
}

void Succeeded(tarn_export_job* job) {
    job->failed = false;
}

// Runs `body` on the job, turning a missing job and the exceptions of the standard library
// (memory running out) into failures: nothing C++ leaves the interface.
template <typename Body>
int OnJob(tarn_export_job* job, Body body) {
    if (job == nullptr) return -1;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Failed(job, "not enough memory");
    } catch (const std::exception& e) {
        return Failed(job, e.what());
    }
}

// An open slide for one input: the caller's, or opened here and closed at the end.
class InputSlide {
  public:
    explicit InputSlide(const tarn_export_job::Input& input) : owned_(input.slide == nullptr) {
        slide_ = owned_ ? tarn_open(input.filename.c_str()) : input.slide;
        if (slide_ == nullptr) {
            const char* why = tarn_get_error(nullptr);
            failure_ = why != nullptr ? why : "cannot open " + tarn::ShownName(input.filename);
        }
    }
    ~InputSlide() {
        if (owned_) tarn_close(slide_);
    }
    InputSlide(const InputSlide&) = delete;
    InputSlide& operator=(const InputSlide&) = delete;

    tarn_slide* get() const { return slide_; }
    const std::string& failure() const { return failure_; }

  private:
    bool owned_;
    tarn_slide* slide_ = nullptr;
    std::string failure_;
};

struct Reporter {
    tarn_export_job* job;
    int32_t slideIndex = 0;
    const SlideExport* slide = nullptr;
    const std::string* output = nullptr;
    const Plan* plan = nullptr;
    const TileCounts* counts = nullptr;
    int32_t threads = 0;
    std::chrono::steady_clock::time_point started;

    // False when the callback asks to cancel.
    bool Report(tarn_export_event event) const {
        if (job->progress == nullptr) return true;
        tarn_export_progress progress{};
        progress.event = event;
        progress.slide_index = slideIndex;
        progress.slide_count = static_cast<int32_t>(job->inputs.size());
        progress.slide = slide->shown.c_str();
        progress.output = output->c_str();  // the final name, not a staged one
        progress.summary = plan->summary.c_str();
        progress.tiles_total = plan->TileCount();
        progress.tiles_done = counts->done.load();
        progress.tiles_skipped = counts->skipped.load();
        progress.bytes = counts->bytes.load();
        progress.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        progress.threads = threads;
        progress.tiles_damaged = counts->damaged.load();
        return job->progress(job->progressContext, &progress) == 0;
    }
};

// False with a message when replacing `output` would remove the slide it is made from (the
// slide file itself, or a folder that holds it).
bool OutputSparesInput(const tarn_export_job::Input& input, const std::string& output,
                       std::string* error) {
    if (input.filename.empty() || tarn::IsUrl(input.filename)) return true;
    std::error_code failed;
    const auto slide = std::filesystem::weakly_canonical(input.filename, failed);
    const auto target = std::filesystem::weakly_canonical(output, failed);
    if (failed) return true;
    if (std::mismatch(target.begin(), target.end(), slide.begin(), slide.end()).first !=
        target.end())
        return true;
    *error = "the output " + output + " would replace the slide " + input.filename;
    return false;
}

// Writes one slide. Done, Cancelled, or Failed with the reason in `error`.
RunResult ExportSlide(tarn_export_job* job, int32_t index, const std::string& output, int threads,
                      StopState* stop, std::string* error) {
    const tarn_export_job::Input& input = job->inputs[static_cast<size_t>(index)];
    const InputSlide opened(input);
    if (opened.get() == nullptr) {
        *error = opened.failure();
        return RunResult::Failed;
    }
    SlideExport slide;
    slide.slide = opened.get();
    slide.shown = input.slide != nullptr ? input.name : tarn::ShownName(input.filename);
    slide.name = input.name;
    slide.output = output;
    slide.options = &job->options;
    Plan plan;
    if (!job->format->plan(slide, &plan, error) || !CheckPlan(plan, error) || !plan.Number(error))
        return RunResult::Failed;
    // A staged output is made under a temporary name: the writer sees only that one.
    StagedOutput staged;
    if (plan.stagedOutput) {
        if (!plan.overwrite && PathExists(output)) {
            *error = ExistsMessage(output);
            return RunResult::Failed;
        }
        if (!OutputSparesInput(input, output, error)) return RunResult::Failed;
        staged.Begin(output);
        slide.output = staged.temporary();
    }
    const std::unique_ptr<Writer> writer = job->format->writer(slide, plan);
    TileCounts counts;
    Reporter reporter{job,   index,   &slide,  &output,
                      &plan, &counts, threads, std::chrono::steady_clock::now()};
    if (!writer->Open(error)) {
        writer->Abandon();
        return RunResult::Failed;
    }
    if (!reporter.Report(TARN_EXPORT_SLIDE_STARTED)) stop->Cancel();
    RunResult result = RunResult::Cancelled;
    if (!stop->Requested())
        result = PutAssociatedImages(slide, plan, writer.get(), error) ? RunResult::Done
                                                                       : RunResult::Failed;
    if (result == RunResult::Done)
        result = RunPlan(
            slide, plan, writer.get(), threads, stop, &counts,
            [&] { return reporter.Report(TARN_EXPORT_TILES); }, error);
    if (result == RunResult::Done && !writer->Finish(*stop, error))
        result = error->empty() ? RunResult::Cancelled : RunResult::Failed;
    if (result == RunResult::Done && plan.stagedOutput &&
        !staged.Commit(plan.overwrite, *stop, error))
        result = error->empty() ? RunResult::Cancelled : RunResult::Failed;
    if (result != RunResult::Done) {
        writer->Abandon();
        staged.Discard();
        if (result == RunResult::Failed && plan.stagedOutput)
            *error += " (" + output + " was not written)";
        // The last figures, for a message on how far it got.
        if (result == RunResult::Cancelled) reporter.Report(TARN_EXPORT_TILES);
        return result;
    }
    if (!reporter.Report(TARN_EXPORT_SLIDE_FINISHED)) stop->Cancel();
    return RunResult::Done;
}

// Each slide's output, or false with a message when two slides would write to one.
bool Outputs(const tarn_export_job* job, std::vector<std::string>* outputs, std::string* error) {
    if (job->inputs.empty()) {
        *error = "no slide to export";
        return false;
    }
    if (job->output.empty()) {
        *error = "no output given";
        return false;
    }
    std::set<std::string> names;
    for (const tarn_export_job::Input& input : job->inputs) {
        if (job->inputs.size() > 1 && !names.insert(input.name).second) {
            *error = "two slides are named " + input.name + ": their outputs would collide";
            return false;
        }
        const bool own =
            job->inputs.size() == 1 || job->format->layout == OutputLayout::SharedFolder;
        outputs->push_back(own ? job->output
                               : job->output + "/" + input.name + job->format->extension);
    }
    return true;
}

int Run(tarn_export_job* job) {
    std::vector<std::string> outputs;
    std::string error;
    if (!Outputs(job, &outputs, &error)) return Failed(job, error);
    // Outputs that would be refused are refused before any slide is converted.
    if (job->options.Takes("overwrite") && !job->options.Flag("overwrite"))
        for (const std::string& output : outputs)
            if (PathExists(output)) return Failed(job, ExistsMessage(output));
    // Several slides share the output folder, which must be there before the first is written.
    if (job->inputs.size() > 1 && !EnsureFolder(job->output, &error)) return Failed(job, error);
    StopState stop(job->cancel);
    const int threads = WorkerThreads(job->threads);
    for (size_t i = 0; i < job->inputs.size(); ++i) {
        if (stop.Requested()) break;
        switch (ExportSlide(job, static_cast<int32_t>(i), outputs[i], threads, &stop, &error)) {
            case RunResult::Done:
                break;
            case RunResult::Cancelled:
                Succeeded(job);
                return TARN_EXPORT_CANCELLED;
            case RunResult::Failed:
                return Failed(job, error);
        }
    }
    Succeeded(job);
    return stop.Cancelled() ? TARN_EXPORT_CANCELLED : TARN_EXPORT_DONE;
}

const FormatEntry* FormatNamed(const char* name) {
    return name != nullptr ? FindFormat(name) : nullptr;
}

}  // namespace
}  // namespace tarnexport

using namespace tarnexport;

int32_t tarn_export_get_format_count(void) {
    return static_cast<int32_t>(FormatCount());
}

const char* tarn_export_get_format_name(int32_t index) {
    const FormatEntry* format = index >= 0 ? FormatAt(static_cast<size_t>(index)) : nullptr;
    return format != nullptr ? format->name : nullptr;
}

const char* tarn_export_get_format_help(const char* format) {
    const FormatEntry* entry = FormatNamed(format);
    return entry != nullptr ? entry->help : nullptr;
}

int32_t tarn_export_get_option_count(const char* format) {
    const FormatEntry* entry = FormatNamed(format);
    return entry != nullptr ? static_cast<int32_t>(entry->options.size()) : -1;
}

const tarn_export_option* tarn_export_get_option(const char* format, int32_t index) {
    const FormatEntry* entry = FormatNamed(format);
    if (entry == nullptr || index < 0 || static_cast<size_t>(index) >= entry->options.size())
        return nullptr;
    return &entry->options[static_cast<size_t>(index)];
}

tarn_export_job* tarn_export_job_create(const char* format) {
    try {
        const FormatEntry* entry = format == nullptr ? FormatAt(0) : FindFormat(format);
        if (entry == nullptr) {
            std::string known;
            for (size_t i = 0; i < FormatCount(); ++i)
                known += std::string(i > 0 ? ", " : "") + FormatAt(i)->name;
            createError = "no export format is named " +
                          std::string(format != nullptr ? format : "") + " (there are " + known +
                          ")";
            return nullptr;
        }
        createError.clear();
        return new tarn_export_job(entry);
    } catch (const std::exception&) {
        createError = "not enough memory";
        return nullptr;
    }
}

void tarn_export_job_destroy(tarn_export_job* job) {
    delete job;
}

int tarn_export_job_set_option(tarn_export_job* job, const char* name, const char* value) {
    return OnJob(job, [&] {
        if (name == nullptr || value == nullptr) return Failed(job, "no option name or value");
        std::string error;
        if (!job->options.Set(job->format->name, name, value, &error)) return Failed(job, error);
        Succeeded(job);
        return 0;
    });
}

int tarn_export_job_add_slide(tarn_export_job* job, const char* filename) {
    return OnJob(job, [&] {
        if (filename == nullptr || *filename == '\0') return Failed(job, "no slide named");
        job->inputs.push_back({filename, nullptr, tarn::SlideStem(filename)});
        Succeeded(job);
        return 0;
    });
}

int tarn_export_job_add_open_slide(tarn_export_job* job, tarn_slide* slide, const char* name) {
    return OnJob(job, [&] {
        if (slide == nullptr) return Failed(job, "no slide given");
        job->inputs.push_back({"", slide, tarn::SlideStem(name != nullptr ? name : "slide")});
        Succeeded(job);
        return 0;
    });
}

int tarn_export_job_set_output(tarn_export_job* job, const char* output) {
    return OnJob(job, [&] {
        if (output == nullptr || *output == '\0') return Failed(job, "no output named");
        job->output = output;
        Succeeded(job);
        return 0;
    });
}

void tarn_export_job_set_threads(tarn_export_job* job, int n) {
    if (job != nullptr) job->threads = n;
}

void tarn_export_job_set_progress(tarn_export_job* job, tarn_export_progress_fn callback,
                                  void* context) {
    if (job == nullptr) return;
    job->progress = callback;
    job->progressContext = context;
}

void tarn_export_job_set_cancel(tarn_export_job* job, const volatile int* flag) {
    if (job != nullptr) job->cancel = flag;
}

int tarn_export_job_run(tarn_export_job* job) {
    return OnJob(job, [&] { return Run(job); });
}

const char* tarn_export_get_error(tarn_export_job* job) {
    if (job == nullptr) return createError.empty() ? nullptr : createError.c_str();
    return job->failed ? job->error.c_str() : nullptr;
}
