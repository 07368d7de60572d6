// export: slides written out in a format of the export library's registry. The command knows no
// format itself: its help, the options it takes and those it refuses come from each format's own
// description, and the library's engine does the work. Stop signals cancel it cleanly.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "ExportProgress.h"
#include "StopSignals.h"
#include "tarn_export.h"

namespace tarncli {
namespace {

constexpr size_t kColumns = 96;

std::vector<std::string> FormatNames() {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(tarn_export_get_format_count()));
    for (int32_t i = 0; i < tarn_export_get_format_count(); ++i)
        names.emplace_back(tarn_export_get_format_name(i));
    return names;
}

std::vector<const tarn_export_option*> OptionsOf(const std::string& format) {
    std::vector<const tarn_export_option*> options;
    options.reserve(static_cast<size_t>(std::max(0, tarn_export_get_option_count(format.c_str()))));
    for (int32_t i = 0; i < tarn_export_get_option_count(format.c_str()); ++i)
        options.push_back(tarn_export_get_option(format.c_str(), i));
    return options;
}

const tarn_export_option* FindOption(const std::string& format, const std::string& name) {
    for (const tarn_export_option* option : OptionsOf(format))
        if (name == option->name) return option;
    return nullptr;
}

// `text` after `lead`, in lines of at most kColumns, the next lines indented by `indent`.
std::string Wrap(const std::string& lead, const std::string& text, size_t indent) {
    std::string out, line = lead;
    bool words = false;  // whether the line holds a word beyond the lead
    std::istringstream stream(text);
    for (std::string word; stream >> word;) {
        if (words && line.size() + 1 + word.size() > kColumns) {
            out += line + "\n";
            line = std::string(indent, ' ');
            words = false;
        }
        if (words || (!line.empty() && line.back() != ' ')) line += ' ';
        line += word;
        words = true;
    }
    return out + line + "\n";
}

std::string OptionUsage(const tarn_export_option& option) {
    std::string usage = std::string("--") + option.name;
    if (option.kind == TARN_EXPORT_OPTION_INT) usage += " N";
    if (option.kind == TARN_EXPORT_OPTION_TEXT)
        usage += std::string(" ") + (option.choices != nullptr ? option.choices : "TEXT");
    return usage;
}

std::string OptionHelp(const tarn_export_option& option) {
    std::string help = option.help;
    if (option.kind != TARN_EXPORT_OPTION_FLAG && option.default_value != nullptr &&
        *option.default_value != '\0')
        help += std::string(" (default ") + option.default_value + ")";
    return help;
}

std::string OptionsHelp(const std::string& format) {
    std::string text;
    for (const tarn_export_option* option : OptionsOf(format)) {
        std::string usage = "      " + OptionUsage(*option);
        usage.resize(std::max<size_t>(usage.size() + 2, 28), ' ');
        text += Wrap(usage, OptionHelp(*option), 28);
    }
    return text;
}

std::string ExportHelp() {
    std::string help =
        "usage: tarn export [--format NAME] SLIDE [SLIDE ...] OUT [options]\n"
        "       tarn export --deepzoom DIRECTORY SLIDE [options]      (the old order)\n"
        "\n";
    help += Wrap("",
                 "Writes each SLIDE to OUT in the format NAME (the first below by default); "
                 "--deepzoom is another spelling of --format deepzoom. With several slides, OUT "
                 "is a directory that receives each slide's output under the slide's name (its "
                 "file name without extension). The old order, --deepzoom DIRECTORY SLIDE, is "
                 "still taken: a slide is a file that opens or a URL, an output may not exist "
                 "yet.",
                 0);
    help += "\nformats and the options each takes (any other is refused):\n";
    const std::vector<std::string> names = FormatNames();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string lead = "  " + names[i] + (i == 0 ? " (the default):" : ":");
        help += Wrap(lead, tarn_export_get_format_help(names[i].c_str()), 4);
        help += OptionsHelp(names[i]);
    }
    help += "\noptions of every format:\n";
    help += Wrap("      --threads N           ",
                 "threads reading and encoding tiles: one per processor unless N says "
                 "otherwise, and at most 4 per processor (more would only hold more tiles in "
                 "memory): a larger N is lowered to that",
                 28);
    help += Wrap("      --quiet               ",
                 "no progress and no summary (otherwise: what is written where, a progress bar "
                 "with the rate and the time left on a terminal, a line per slide written)",
                 28);
    help += "\n";
    help += Wrap("",
                 "SLIDE may be a URL: http://, https:// or s3://BUCKET/KEY (see the README for "
                 "credentials); each thread fetches the tiles it writes, on reused connections.",
                 0);
    help += "\n";
    help += Wrap("",
                 "Each file is written under a temporary name (starting with a dot) and renamed "
                 "when whole, so OUT never holds part of a file. Ctrl-C, SIGTERM or SIGHUP stop "
                 "the export: the files being written are removed, the tiles done stay, and tarn "
                 "ends by that signal (status 128 + its number). With --resume (formats that "
                 "take it), every tile whose file is already there is kept and the rest written; "
                 "without it, existing files are replaced.",
                 0);
    return help;
}

int UsageError(const std::string& message, const std::string& help) {
    fprintf(stderr, "tarn: %s\n\n%s", message.c_str(), help.c_str());
    return kExitUsage;
}

// The format the arguments name, before they are parsed by its description: --format NAME,
// --format=NAME, or --deepzoom (--deepzoom=DIRECTORY in the old order).
struct FormatChoice {
    std::string name;
    bool deepzoom = false;  // spelled --deepzoom
    bool named = false;     // spelled --format
};

bool ChooseFormat(int argc, char** argv, FormatChoice* choice, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--format" && i + 1 < argc) {
            choice->name = argv[++i];
            choice->named = true;
        } else if (arg.rfind("--format=", 0) == 0) {
            choice->name = arg.substr(9);
            choice->named = true;
        } else if (arg == "--deepzoom" || arg.rfind("--deepzoom=", 0) == 0) {
            choice->deepzoom = true;
        }
    }
    if (choice->deepzoom && choice->named && choice->name != "deepzoom") {
        *error = "--deepzoom is --format deepzoom: it does not go with --format " + choice->name;
        return false;
    }
    if (choice->deepzoom) choice->name = "deepzoom";
    if (choice->name.empty()) choice->name = tarn_export_get_format_name(0);
    return true;
}

// Whether an argument is a slide: a URL, or a regular file with a Tarn header.
bool IsSlide(const std::string& arg) {
    if (IsUrl(arg)) return true;
    struct stat status {};
    return stat(arg.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           tarn_detect_vendor(arg.c_str()) != nullptr;
}

bool IsDirectory(const std::string& arg) {
    struct stat status {};
    return stat(arg.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool Exists(const std::string& arg) {
    struct stat status {};
    return stat(arg.c_str(), &status) == 0;
}

// Whether `--deepzoom A B` is the old order (DIRECTORY SLIDE) rather than SLIDE OUT: A is no
// slide and B is one, or neither is and A is where an output goes (a directory, or a name free
// while B names something).
bool OldOrder(const std::string& a, const std::string& b) {
    if (IsSlide(a)) return false;
    if (IsSlide(b)) return true;
    return IsDirectory(a) || (!Exists(a) && Exists(b));
}

struct Targets {
    std::vector<std::string> slides;
    std::string output;
};

bool FindTargets(const Args& args, const FormatChoice& choice, Targets* targets,
                 std::string* error) {
    const std::vector<std::string>& positional = args.positional;
    const std::optional<std::string> directory = args.Option("deepzoom");
    if (directory ||
        (choice.deepzoom && positional.size() >= 2 && OldOrder(positional[0], positional[1]))) {
        // The old order: --deepzoom DIRECTORY SLIDE, or --deepzoom=DIRECTORY SLIDE.
        const size_t first = directory ? 0 : 1;
        if (positional.size() != first + 1) {
            *error = "expected one slide after --deepzoom DIRECTORY";
            return false;
        }
        targets->output = directory ? *directory : positional[0];
        targets->slides.push_back(positional[first]);
        return true;
    }
    if (positional.size() < 2) {
        *error = "expected SLIDE and OUT";
        return false;
    }
    targets->slides.assign(positional.begin(), positional.end() - 1);
    targets->output = positional.back();
    return true;
}

// Names of the options any format takes, by kind, the chosen format's kinds first.
void KnownOptions(const std::string& chosen, std::vector<std::string>* valued,
                  std::vector<std::string>* flags) {
    *valued = {"format", "threads", "deepzoom"};
    *flags = {"quiet", "deepzoom"};
    std::vector<std::string> order{chosen};
    for (const std::string& name : FormatNames())
        if (name != chosen) order.push_back(name);
    for (const std::string& format : order)
        for (const tarn_export_option* option : OptionsOf(format)) {
            const std::string name = option->name;
            if (std::find(valued->begin(), valued->end(), name) != valued->end() ||
                std::find(flags->begin(), flags->end(), name) != flags->end())
                continue;
            (option->kind == TARN_EXPORT_OPTION_FLAG ? flags : valued)->push_back(name);
        }
}

bool IsEngineOption(const std::string& name) {
    return name == "format" || name == "threads" || name == "deepzoom" || name == "quiet" ||
           name == "help";
}

// The message for an option the format's description does not list.
std::string Refusal(const std::string& option, const FormatChoice& choice) {
    std::string taken;
    for (const tarn_export_option* each : OptionsOf(choice.name))
        taken += std::string(taken.empty() ? "" : ", ") + "--" + each->name;
    std::string others;
    for (const std::string& format : FormatNames())
        if (format != choice.name && FindOption(format, option) != nullptr)
            others += std::string(others.empty() ? "" : ", ") + format;
    return "--" + option + " does not go with " +
           (choice.deepzoom ? std::string("--deepzoom") : "--format " + choice.name) + " (" +
           choice.name + " takes " + (taken.empty() ? "no option" : taken) +
           (others.empty() ? "" : "; --" + option + " goes with " + others) + ")";
}

// Gives the job every option of the arguments, each checked against the format's description.
bool SetOptions(const Args& args, const FormatChoice& choice, tarn_export_job* job,
                std::string* error) {
    std::vector<std::pair<std::string, std::string>> given;
    for (const auto& [name, value] : args.options)
        if (!IsEngineOption(name)) given.emplace_back(name, value);
    for (const std::string& flag : args.flags)
        if (!IsEngineOption(flag)) given.emplace_back(flag, "1");
    for (const auto& [name, value] : given) {
        const tarn_export_option* option = FindOption(choice.name, name);
        if (option == nullptr) {
            *error = Refusal(name, choice);
            return false;
        }
        long number = 0;
        if (option->kind == TARN_EXPORT_OPTION_INT &&
            !IntOption(args, name, static_cast<long>(option->min), static_cast<long>(option->max),
                       0, &number, error))
            return false;
        if (tarn_export_job_set_option(job, name.c_str(), value.c_str()) != 0) {
            *error = tarn_export_get_error(job);
            return false;
        }
    }
    return true;
}

struct JobDeleter {
    void operator()(tarn_export_job* job) const { tarn_export_job_destroy(job); }
};

}  // namespace

int RunExport(int argc, char** argv) {
    const std::string help = ExportHelp();
    FormatChoice choice;
    std::string error;
    if (!ChooseFormat(argc, argv, &choice, &error)) return UsageError(error, help);
    std::vector<std::string> valued, flags;
    KnownOptions(choice.name, &valued, &flags);
    Args args;
    int exitCode = 0;
    if (!ParseCommandRange(argc, argv, help.c_str(), valued, flags, 1, SIZE_MAX, &args, &exitCode))
        return exitCode;
    const std::unique_ptr<tarn_export_job, JobDeleter> job(
        tarn_export_job_create(choice.name.c_str()));
    if (!job) return UsageError(tarn_export_get_error(nullptr), help);
    Targets targets;
    long threads = 0;
    if (!FindTargets(args, choice, &targets, &error) ||
        !SetOptions(args, choice, job.get(), &error) ||
        !IntOption(args, "threads", 1, INT_MAX, 0, &threads, &error))
        return UsageError(error, help);
    ExportDisplay display;
    const int result = RunShown(job.get(), targets.slides, targets.output,
                                static_cast<int>(threads), args.Has("quiet"), &display);
    int status = kExitOk;
    if (result == TARN_EXPORT_FAILED) {
        status = Fail(tarn_export_get_error(job.get()));
    } else if (result == TARN_EXPORT_CANCELLED) {
        const bool resumable = FindOption(choice.name, "resume") != nullptr;
        fprintf(stderr, "tarn: interrupted with %lld of %lld tiles in %s%s\n",
                static_cast<long long>(display.done), static_cast<long long>(display.total),
                display.output.c_str(), resumable ? "; add --resume to write the rest" : "");
        status = kExitFailed;
    }
    if (const int signal = StopSignal(); signal != 0) return EndBySignal(signal);
    return status;
}

}  // namespace tarncli
