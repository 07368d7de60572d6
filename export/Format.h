// What an output format is to the export library: its entry in the registry (name, help, the
// options it takes), the plan of tiles it wants for a slide, and the writer that receives them.
//
// Adding a format (a DICOM, OME-TIFF, TIFF or OME-Zarr writer, say):
//   1. formats/<Name>.cpp defines `const FormatEntry k<Name>Format{...}`: the name, the help, the
//      options (IntOption, FlagOption, TextOption: the tool prints and checks them from there), a
//      plan function (AddPyramid for every stored level and the coarse levels down to one tile,
//      at its tile size and JPEG quality, or RGB pixels; AddAssociatedImages for the label,
//      macrograph and thumbnail) and a writer (TileOrder::Plan for the tiles of each level in
//      row-major order; TemporaryFile for an output renamed into place only when whole).
//   2. Registry.h declares it and the table in Registry.cpp lists it, one line each.
//   3. Its libraries (DCMTK, libtiff, lcms2) are linked in export/CMakeLists.txt, into this
//      library alone, and their packages added to scripts/install-deps.sh.
//   4. tests/export gets its test.
// The engine (Engine.h) does the rest: it opens each slide, asks the entry for a plan and a
// writer, reads, scales and encodes the plan's tiles on the job's threads, and hands them to the
// writer, in plan order or as they come, as the writer asks; it stops on the first failure or a
// cancel and lets the writer clean up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Options.h"
#include "Plan.h"
#include "tarn.h"

namespace tarnexport {

// Asked by writers before an output takes its final name: a file renamed after a cancel would
// outlive the tile the cancel found it writing.
class Stop {
  public:
    virtual ~Stop() = default;
    virtual bool Requested() const = 0;
};

// One slide's export as the format's plan and writer see it.
struct SlideExport {
    tarn_slide* slide = nullptr;
    std::string shown;   // the slide as messages name it (a URL without its credentials)
    std::string name;    // the slide's name in file names ("<name>.dzi")
    std::string output;  // where this slide's output goes (see OutputLayout)
    const OptionValues* options = nullptr;
};

// An encoded tile handed to a writer: a JPEG stream, or RGB pixels (3 bytes each, rows top to
// bottom), as its plan level asks. Its bytes live until PutTile returns.
struct EncodedTile {
    TileAddress at;
    int64_t width = 0;  // pixels: the plan level's tile size, or less at a Deep Zoom level's edge
    int64_t height = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    // The tile could not be read and is white (Plan::whiteForUnreadable): writers that keep
    // metadata count these.
    bool damaged = false;
};

// An associated image the plan asked for: its corrected pixels as RGB, and its stored bytes
// (a JPEG, or a BMP for some thumbnails) when asked for them too.
struct AssociatedImage {
    std::string name;  // "label", "macro" or "thumbnail"
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> stored;
    tarn_codec storedCodec = TARN_CODEC_UNKNOWN;
};

enum class TileOrder {
    Any,  // PutTile is called from every worker thread at once, tiles in any order
    Plan  // PutTile is called from one thread at a time, in the order of the plan's numbers
};

enum class PutResult { Written, Stopped, Failed };

// Receives one slide's tiles. Open, then the associated images, then every tile (or those not
// HasTile), then Finish; Abandon instead of Finish after a failure or a cancel.
class Writer {
  public:
    virtual ~Writer() = default;
    virtual TileOrder Order() const { return TileOrder::Any; }
    // Creates the output under temporary names (or the folders that hold it).
    virtual bool Open(std::string* error) = 0;
    // Whether a whole tile of an earlier run is already there, so the engine need not make it.
    // Called from every worker thread at once, in any order, whatever Order() says.
    virtual bool HasTile(const TileAddress& /*at*/) { return false; }
    virtual bool PutAssociated(const AssociatedImage& /*image*/, std::string* /*error*/) {
        return true;
    }
    // Stopped: the stop came before the tile was kept (nothing of it is left).
    virtual PutResult PutTile(const EncodedTile& tile, const Stop& stop, std::string* error) = 0;
    // Completes the output and gives it its final name. False with an empty `error` when the
    // stop came first.
    virtual bool Finish(const Stop& stop, std::string* error) = 0;
    // Removes whatever is not whole (temporary files); whole tiles of a resumable format stay.
    virtual void Abandon() {}
};

// Where each slide's output goes. With one slide, always the job's output; with several:
enum class OutputLayout {
    PerSlide,     // <output>/<slide name><extension>
    SharedFolder  // <output> itself: the format names its files after the slide
};

struct FormatEntry {
    const char* name;  // "deepzoom": lower case, the command line's --format value
    const char* help;  // a paragraph: what is written, where, and how it is named
    std::vector<OptionInfo> options;
    OutputLayout layout = OutputLayout::PerSlide;
    const char* extension = "";  // PerSlide outputs with several slides: ".tiff", "" for a folder
    // The tiles to make for the slide. False with a message when the slide cannot be written so.
    bool (*plan)(const SlideExport& job, Plan* plan, std::string* error);
    // The writer of the slide's output for that plan (which lives as long as it).
    std::unique_ptr<Writer> (*writer)(const SlideExport& job, const Plan& plan);
};

}  // namespace tarnexport
