// Properties are worked out once, when the slide opens, and handed out as the slide's own strings.
#include "TarnApi/Properties.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "Core/Description.h"
#include "Core/RemoteSource.h"

#include "TarnApi/QuickHash.h"

namespace tarn {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Adds description fields under `prefix` + their key.
template <int Count>
void AddFields(Entries* entries, const std::string& prefix,
               const DescriptionField (&fields)[Count]) {
    for (const DescriptionField& field : fields)
        entries->emplace_back(prefix + field.key, field.value);
}

void AddStandard(Entries* entries, const SlideHead& head, const std::vector<Level>& levels,
                 const std::optional<Bounds>& bounds) {
    entries->emplace_back(TARN_PROPERTY_NAME_VENDOR, "tarn");
    // Listed now, worked out when first asked for (QuickHash.h).
    entries->emplace_back(TARN_PROPERTY_NAME_QUICKHASH1, "");
    // Unknown values are left out, as OpenSlide leaves them out.
    if (std::isfinite(head.MPP) && head.MPP > 0) {
        entries->emplace_back("openslide.mpp-x", FormatDouble(head.MPP));
        entries->emplace_back("openslide.mpp-y", FormatDouble(head.MPP));
    }
    if (head.AppMag > 0)
        entries->emplace_back("openslide.objective-power", std::to_string(head.AppMag));
    if (bounds) {
        entries->emplace_back("openslide.bounds-x", std::to_string(bounds->x));
        entries->emplace_back("openslide.bounds-y", std::to_string(bounds->y));
        entries->emplace_back("openslide.bounds-width", std::to_string(bounds->width));
        entries->emplace_back("openslide.bounds-height", std::to_string(bounds->height));
    }
    entries->emplace_back("openslide.level-count", std::to_string(levels.size()));
    for (size_t k = 0; k < levels.size(); ++k) {
        const std::string prefix = "openslide.level[" + std::to_string(k) + "].";
        entries->emplace_back(prefix + "width", std::to_string(levels[k].width));
        entries->emplace_back(prefix + "height", std::to_string(levels[k].height));
        entries->emplace_back(prefix + "downsample", FormatDouble(levels[k].downsample));
        entries->emplace_back(prefix + "tile-width", std::to_string(levels[k].tileWidth));
        entries->emplace_back(prefix + "tile-height", std::to_string(levels[k].tileHeight));
    }
}

}  // namespace

std::string FormatDouble(double value) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
    return std::string(text, result.ptr);
}

void BuildProperties(const Slide& slide, const std::vector<Level>& levels,
                     const std::optional<Bounds>& bounds, Properties* properties) {
    Entries& entries = properties->entries;
    const SlideRecords& records = slide.records;
    // The fields the fixed interface's descriptions give, with the same texts.
    SlideSummary summary;
    summary.head = &records.head;
    summary.thumbWidth = records.head.ThumbWidth;
    summary.thumbHeight = records.head.ThumbHeight;
    if (records.macroCount > 0) {
        summary.labelWidth = records.macro[0].Width;
        summary.labelHeight = records.macro[0].Height;
        summary.macroWidth = records.macro[1].Width;
        summary.macroHeight = records.macro[1].Height;
    }
    DescriptionField slideFields[kSlideFields];
    DescribeSlide(summary, slideFields);
    AddFields(&entries, "tarn.", slideFields);
    for (size_t k = 0; k < levels.size(); ++k) {
        const std::string prefix = "tarn.layer[" + std::to_string(k) + "].";
        DescriptionField layerFields[kLayerFields];
        DescribeLayer(records.head, records.layers[k], layerFields);
        AddFields(&entries, prefix, layerFields);
        entries.emplace_back(prefix + "TileCount", std::to_string(records.layers[k].TileCount));
    }
    if (const char* version = RemoteSourceVersion(slide.source))
        entries.emplace_back(TARN_PROPERTY_NAME_OBJECT_VERSION, version);
    AddStandard(&entries, records.head, levels, bounds);
    std::sort(entries.begin(), entries.end());
    properties->names.reserve(entries.size() + 1);
    for (const auto& entry : entries)
        properties->names.push_back(entry.first.c_str());
    properties->names.push_back(nullptr);
}

}  // namespace tarn

using namespace tarn;

const char* const* tarn_get_property_names(tarn_slide* slide) {
    return OnSlide(slide, static_cast<const char* const*>(nullptr),
                   [](SlideCall& call) { return call.slide().properties.names.data(); });
}

const char* tarn_get_property_value(tarn_slide* slide, const char* name) {
    return OnSlide(slide, static_cast<const char*>(nullptr), [&](SlideCall& call) -> const char* {
        if (name == nullptr) {
            call.Fail("no property name given");
            return nullptr;
        }
        const Entries& entries = call.slide().properties.entries;
        const auto found = std::lower_bound(entries.begin(), entries.end(), name,
                                            [](const auto& entry, const char* key) {
                                                return strcmp(entry.first.c_str(), key) < 0;
                                            });
        if (found == entries.end() || found->first != name) return nullptr;
        if (found->first == TARN_PROPERTY_NAME_QUICKHASH1) return QuickHashOf(call);
        return found->second.c_str();
    });
}
