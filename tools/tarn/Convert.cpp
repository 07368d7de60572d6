// convert: slides into the open formats (DICOM, OME-TIFF, pyramidal TIFF, OME-Zarr), through the
// export library's conversion formats, which share their options and their care for faults. The
// format comes from --format or from the output's name. Stop signals cancel it cleanly.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "ExportProgress.h"
#include "StopSignals.h"
#include "tarn_export.h"

namespace tarncli {
namespace {

struct ConversionFormat {
    const char* name;
    const char* suffixes[2];  // OUT's names that pick the format (longest first)
    const char* extension;    // of each slide's output inside a folder; "" for a folder
    const char* what;
};

// In the order their suffixes are tried: ".ome.tiff" before ".tiff".
constexpr ConversionFormat kFormats[] = {
    {"ome-tiff", {".ome.tiff", ".ome.tif"}, ".ome.tiff", "OME-TIFF, the pyramid in SubIFDs"},
    {"tiff", {".tiff", ".tif"}, ".tiff", "a tiled pyramidal TIFF of JPEG tiles"},
    {"ome-zarr", {".ome.zarr", nullptr}, ".ome.zarr", "OME-Zarr (NGFF 0.4)"},
    {"dicom", {nullptr, nullptr}, "", "DICOM whole-slide images, a folder of instances"},
};

constexpr const char* kHelpStart =
    "usage: tarn convert SLIDE [SLIDE ...] OUT [options]\n"
    "\n"
    "Converts each SLIDE (a file, or an http://, https:// or s3:// URL) with every level it\n"
    "stores and those below down to one tile, each half the one above, in JPEG tiles of\n"
    "colour-corrected pixels tagged sRGB; the label, the macrograph and the thumbnail become\n"
    "images of their own. With one slide, OUT is its output (a folder for DICOM, a file\n"
    "otherwise; a file format into an existing folder OUT writes OUT/<name><suffix>). With\n"
    "several, OUT is a folder that receives each slide's output under the slide's name (its\n"
    "file name without extension).\n"
    "\n"
    "formats (--format NAME, else from OUT's name):\n";

constexpr const char* kHelpOptions =
    "\n"
    "options:\n"
    "  --format NAME       dicom, ome-tiff, tiff or ome-zarr\n"
    "  --quality N         JPEG quality of the tiles, 1 to 100 (default 90)\n"
    "  --tile N            tile width and height in pixels, 16 to 4096 (default 256)\n"
    "  --threads N         threads reading and encoding tiles (default: one per processor)\n"
    "  --metadata FILE     a JSON object of values for the output's metadata, DICOM keywords as\n"
    "                      keys (PatientID, StudyDate, ContainerIdentifier...: docs/convert.md)\n"
    "  --mpp X             micrometres per pixel of level 0, instead of the slide's own; a\n"
    "                      slide that does not say its pixel size needs it\n"
    "  --no-label          leave out the label and the macrograph, which may show patient\n"
    "                      identifiers\n"
    "  --new-uids          fresh identifiers (a second, independent copy), instead of ones\n"
    "                      derived from the slide's content that are the same at every run\n"
    "  --overwrite         replace an existing output instead of refusing it\n"
    "  --skip-damaged      write a tile that cannot be read as white, counted in the message\n"
    "                      and in the output's metadata, instead of failing\n"
    "  --quiet             no progress and no summary (otherwise: what is written where, a\n"
    "                      progress bar with the rate and the time left on a terminal, a line\n"
    "                      per slide written)\n"
    "\n"
    "Each output is written under a temporary name beside it (starting with a dot) and renamed\n"
    "only when whole: a failure (a full disk, a damaged slide) or Ctrl-C, SIGTERM or SIGHUP\n"
    "leaves nothing under its name, outputs of slides finished before stay, and tarn ends with\n"
    "status 1 (after a signal: by that signal).\n";

const ConversionFormat* Named(const std::string& name) {
    for (const ConversionFormat& format : kFormats)
        if (name == format.name) return &format;
    return nullptr;
}

bool EndsWith(const std::string& text, const char* suffix) {
    const std::string end = suffix;
    if (text.size() < end.size()) return false;
    return std::equal(end.rbegin(), end.rend(), text.rbegin(), [](char a, char b) {
        return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
    });
}

// The format OUT's name asks for: a suffix above, else DICOM (a folder).
const ConversionFormat* FromName(std::string out) {
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    for (const ConversionFormat& format : kFormats)
        for (const char* suffix : format.suffixes)
            if (suffix != nullptr && EndsWith(out, suffix)) return &format;
    return Named("dicom");
}

bool InBuild(const char* name) {
    for (int32_t i = 0; i < tarn_export_get_format_count(); ++i)
        if (std::string(name) == tarn_export_get_format_name(i)) return true;
    return false;
}

std::string Help() {
    std::string help = kHelpStart;
    for (const ConversionFormat& format : kFormats) {
        std::string line = std::string("  ") + format.name;
        line.resize(14, ' ');
        line += format.what;
        if (format.suffixes[0] != nullptr) {
            line += std::string(" (OUT ending in ") + format.suffixes[0];
            if (format.suffixes[1] != nullptr) line += std::string(" or ") + format.suffixes[1];
            line += ")";
        } else {
            line += " (any other OUT)";
        }
        help += line + "\n";
        if (!InBuild(format.name)) help += "              (not available in this build)\n";
    }
    return help + kHelpOptions;
}

bool IsEngineOption(const std::string& name) {
    return name == "format" || name == "threads" || name == "quiet" || name == "help";
}

// Every option any conversion format of this build takes, by kind, for the parser.
void KnownOptions(std::vector<std::string>* valued, std::vector<std::string>* flags) {
    *valued = {"format", "threads", "quality", "tile", "metadata", "mpp"};
    *flags = {"quiet", "no-label", "new-uids", "overwrite", "skip-damaged"};
    for (const ConversionFormat& format : kFormats)
        for (int32_t i = 0; i < std::max(0, tarn_export_get_option_count(format.name)); ++i) {
            const tarn_export_option* option = tarn_export_get_option(format.name, i);
            std::vector<std::string>* list =
                option->kind == TARN_EXPORT_OPTION_FLAG ? flags : valued;
            if (std::find(list->begin(), list->end(), option->name) == list->end())
                list->emplace_back(option->name);
        }
}

bool TakesOption(const char* format, const std::string& name) {
    for (int32_t i = 0; i < std::max(0, tarn_export_get_option_count(format)); ++i)
        if (name == tarn_export_get_option(format, i)->name) return true;
    return false;
}

bool SetOptions(const Args& args, const char* format, tarn_export_job* job, std::string* error) {
    std::vector<std::pair<std::string, std::string>> given;
    for (const auto& [name, value] : args.options)
        if (!IsEngineOption(name)) given.emplace_back(name, value);
    for (const std::string& flag : args.flags)
        if (!IsEngineOption(flag)) given.emplace_back(flag, "1");
    for (const auto& [name, value] : given) {
        if (!TakesOption(format, name)) {
            *error = "--" + name + " does not go with --format " + format;
            return false;
        }
        if (tarn_export_job_set_option(job, name.c_str(), value.c_str()) != 0) {
            *error = std::string("--") + tarn_export_get_error(job);
            return false;
        }
    }
    return true;
}

int UsageError(const std::string& message, const std::string& help) {
    fprintf(stderr, "tarn: %s\n\n%s", message.c_str(), help.c_str());
    return kExitUsage;
}

bool IsDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct JobDeleter {
    void operator()(tarn_export_job* job) const { tarn_export_job_destroy(job); }
};

}  // namespace

int RunConvert(int argc, char** argv) {
    const std::string help = Help();
    std::vector<std::string> valued, flags;
    KnownOptions(&valued, &flags);
    Args args;
    int exitCode = 0;
    if (!ParseCommandRange(argc, argv, help.c_str(), valued, flags, 2, SIZE_MAX, &args, &exitCode))
        return exitCode;
    const std::vector<std::string> slides(args.positional.begin(), args.positional.end() - 1);
    std::string output = args.positional.back();

    const ConversionFormat* format = nullptr;
    if (const std::optional<std::string> name = args.Option("format")) {
        format = Named(*name);
        if (format == nullptr)
            return UsageError("no conversion format is named '" + *name +
                                  "' (there are dicom, ome-tiff, tiff and ome-zarr)",
                              help);
    } else {
        format = FromName(output);
        if (slides.size() > 1 && *format->extension != '\0')
            return UsageError("with several slides OUT is a folder: name the format with --format",
                              help);
    }
    if (!InBuild(format->name))
        return Fail(std::string("the ") + format->name + " format is not available in this build");
    // A file of one slide into a folder that is there: the folder receives it.
    if (slides.size() == 1 && *format->extension != '\0' &&
        (output.back() == '/' || IsDirectory(output))) {
        if (output.back() != '/') output.push_back('/');
        output.append(SlideName(slides[0])).append(format->extension);
    }

    const std::unique_ptr<tarn_export_job, JobDeleter> job(tarn_export_job_create(format->name));
    if (!job) return Fail(tarn_export_get_error(nullptr));
    long threads = 0;
    std::string error;
    if (!SetOptions(args, format->name, job.get(), &error) ||
        !IntOption(args, "threads", 1, INT_MAX, 0, &threads, &error))
        return UsageError(error, help);
    ExportDisplay display;
    const int result =
        RunShown(job.get(), slides, output, static_cast<int>(threads), args.Has("quiet"), &display);
    int status = kExitOk;
    if (result == TARN_EXPORT_FAILED) {
        status = Fail(tarn_export_get_error(job.get()));
    } else if (result == TARN_EXPORT_CANCELLED) {
        fprintf(stderr, "tarn: interrupted: %s was not written\n",
                display.output.empty() ? output.c_str() : display.output.c_str());
        status = kExitFailed;
    }
    if (const int signal = StopSignal(); signal != 0) return EndBySignal(signal);
    return status;
}

}  // namespace tarncli
