// tarn: look into Tarn slides and cut them into tiles, over libDecodeTarn's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"

namespace {

constexpr const char* kUsage =
    "usage: tarn <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  info     show a slide's description and layers\n"
    "  tile     write one tile of a layer to a JPEG or PNG file\n"
    "  region   write a rectangle of a layer to a JPEG or PNG file\n"
    "  image    write the label, macrograph or thumbnail to a JPEG or PNG file\n"
    "  export   write slides as JPEG tiles or a Deep Zoom pyramid, on all cores\n"
    "  convert  convert slides to DICOM, OME-TIFF, pyramidal TIFF or OME-Zarr, on all cores\n"
    "  sample   write a sample slide\n"
    "  serve    show slides in a web browser, and serve them as Deep Zoom\n"
    "\n"
    "'tarn <command> --help' describes a command.\n";

struct Command {
    const char* name;
    int (*run)(int, char**);
};

constexpr Command kCommands[] = {
    {"info", tarncli::RunInfo},     {"tile", tarncli::RunTile},
    {"region", tarncli::RunRegion}, {"image", tarncli::RunImage},
    {"export", tarncli::RunExport}, {"convert", tarncli::RunConvert},
    {"sample", tarncli::RunSample}, {"serve", tarncli::RunServe},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return tarncli::kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        fputs(kUsage, stdout);
        return tarncli::kExitOk;
    }
    for (const Command& command : kCommands)
        if (name == command.name) return command.run(argc - 2, argv + 2);
    fprintf(stderr, "tarn: unknown command '%s'\n\n%s", name.c_str(), kUsage);
    return tarncli::kExitUsage;
}
