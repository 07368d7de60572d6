#include "support/DamagedSlides.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "HevcEncoder.h"

using tarnwriter::Bytes;
using tarnwriter::SlideLayout;

namespace tarntest {

// ---- The valid slides the cases start from.

const tarnwriter::SlideFile& BaseSlide(Base base) {
    static const std::vector<tarnwriter::SlideFile> slides = [] {
        std::vector<tarnwriter::SlideFile> all;
        all.push_back(tarnwriter::BuildSlide(tarnwriter::TinySpec()));
        tarnwriter::SlideSpec bmp = tarnwriter::TinySpec();
        bmp.thumbnail = tarnwriter::EncodeBmp(tarnwriter::RenderTissue(0, 0, 20, 15, 16.0), 24);
        bmp.thumbnailFormat = ZY_FORMAT_BMP;
        all.push_back(tarnwriter::BuildSlide(bmp));
        tarnwriter::SlideSpec hevc = tarnwriter::TinySpec();
        hevc.compressionType = ZY_COMPRESSION_HEVC;
        hevc.tileEncoder = tarnwriter::HevcTiles(tarnwriter::HevcStream::AllIntra);
        all.push_back(tarnwriter::BuildSlide(hevc));
        tarnwriter::SlideSpec bare = tarnwriter::TinySpec();
        bare.personInfo = false;
        bare.labels = false;
        all.push_back(tarnwriter::BuildSlide(bare));
        return all;
    }();
    return slides[static_cast<size_t>(base)];
}

namespace {

// ---- Outcomes.

int TileCode(ZyTarnInfo* slide, int layer, int x, int y) {
    unsigned char* data = nullptr;
    const int code = ZyGetRgbSliceOfSpecifyLayer(slide, &data, layer, x, y);
    Dispose(data);
    return code;
}

int RegionCode(ZyTarnInfo* slide, int layer) {
    unsigned char* data = nullptr;
    const uint32_t width = slide->PicHead->TileWidth * slide->PicInfos[layer]->XCount;
    const uint32_t height = slide->PicHead->TileHeight * slide->PicInfos[layer]->YCount;
    const int code =
        ZyGetRoiRgbOfSpecifyLayer(slide, &data, static_cast<int>(std::min(width, 512U)),
                                  static_cast<int>(std::min(height, 512U)), 0, 0, layer);
    Dispose(data);
    return code;
}

Check TileFails(int layer, int x, int y, int code) {
    return [=](ZyTarnInfo* s) { EXPECT_EQ(TileCode(s, layer, x, y), code); };
}
Check TileReads(int layer, int x, int y) {
    return TileFails(layer, x, y, 0);
}
Check RegionFails(int layer) {
    return [=](ZyTarnInfo* s) { EXPECT_EQ(RegionCode(s, layer), ZY_E_DECODE); };
}
Check NoThumbnailPixels() {
    return [](ZyTarnInfo* s) { EXPECT_EQ(s->ThumbImage->Pixels, nullptr); };
}
Check NoLabelPixels(int slot) {
    return [=](ZyTarnInfo* s) {
        ASSERT_NE(s->MacroImages, nullptr);
        EXPECT_EQ(s->MacroImages[slot]->Pixels, nullptr);
    };
}
Check Both(Check a, Check b) {
    return [=](ZyTarnInfo* s) {
        a(s);
        b(s);
    };
}

// ---- Mutations.

Damage U32(std::function<uint64_t(const SlideLayout&)> at, uint32_t value) {
    return [=](Bytes& b, const SlideLayout& l) { tarnwriter::PutU32(b, at(l), value); };
}
Damage U64(std::function<uint64_t(const SlideLayout&)> at, uint64_t value) {
    return [=](Bytes& b, const SlideLayout& l) { tarnwriter::PutU64(b, at(l), value); };
}
Damage Add64(std::function<uint64_t(const SlideLayout&)> at, int64_t delta) {
    return [=](Bytes& b, const SlideLayout& l) {
        tarnwriter::PutU64(b, at(l), tarnwriter::GetU64(b, at(l)) + static_cast<uint64_t>(delta));
    };
}
Damage Add32(std::function<uint64_t(const SlideLayout&)> at, int32_t delta) {
    return [=](Bytes& b, const SlideLayout& l) {
        tarnwriter::PutU32(b, at(l), tarnwriter::GetU32(b, at(l)) + static_cast<uint32_t>(delta));
    };
}
Damage Truncate(std::function<uint64_t(const SlideLayout&)> at) {
    return [=](Bytes& b, const SlideLayout& l) {
        b.erase(b.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(at(l), b.size())), b.end());
    };
}
Damage Byte(std::function<uint64_t(const SlideLayout&)> at, uint8_t value) {
    return [=](Bytes& b, const SlideLayout& l) { b[at(l)] = value; };
}
Damage F32(std::function<uint64_t(const SlideLayout&)> at, float value) {
    return [=](Bytes& b, const SlideLayout& l) { tarnwriter::PutF32(b, at(l), value); };
}

std::function<uint64_t(const SlideLayout&)> Fixed(uint64_t offset) {
    return [=](const SlideLayout&) { return offset; };
}
auto Label(uint64_t field) {
    return [=](const SlideLayout& l) { return l.macroRecords[0] + field; };
}
auto Macro(uint64_t field) {
    return [=](const SlideLayout& l) { return l.macroRecords[1] + field; };
}
auto Thumb(uint64_t field) {
    return [=](const SlideLayout& l) { return l.thumbnailRecord + field; };
}
auto LayerAt(int k, uint64_t field) {
    return [=](const SlideLayout& l) { return l.layerRecords[k] + field; };
}
auto TableEntry(int k, int i) {
    return [=](const SlideLayout& l) { return l.tileTables[k] + 4 * i; };
}
auto TileAt(int k, int i, int64_t delta) {
    return [=](const SlideLayout& l) { return l.tileOffsets[k][i] + delta; };
}
auto ThumbData(int64_t delta) {
    return [=](const SlideLayout& l) { return l.thumbnailData + delta; };
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    auto add = [&](std::string name, Base base, Damage damage, bool opens, Check check = {}) {
        cases.push_back({std::move(name), base, std::move(damage), opens, std::move(check), {}});
    };
    constexpr uint64_t kHuge = uint64_t{1} << 62, kAll = ~uint64_t{0};

    // Truncations at and inside every record, before the tiles: nothing opens.
    struct Cut {
        const char* name;
        std::function<uint64_t(const SlideLayout&)> at;
    };
    const Cut cuts[] = {
        {"empty", Fixed(0)},
        {"inside_header", Fixed(100)},
        {"after_header", Fixed(156)},
        {"inside_person", Fixed(3000)},
        {"after_person", Fixed(6964)},
        {"inside_extra", Fixed(7000)},
        {"after_extra", Fixed(7732)},
        {"inside_label_head", Label(60)},
        {"label_bytes_short_by_one", [](const SlideLayout& l) { return l.macroRecords[1] - 1; }},
        {"inside_label_bytes", [](const SlideLayout& l) { return l.macroData[0] + 5; }},
        {"at_macrograph", Macro(0)},
        {"inside_macrograph_head", Macro(50)},
        {"inside_macrograph_bytes", [](const SlideLayout& l) { return l.macroData[1] + 5; }},
        {"at_thumbnail", Thumb(0)},
        {"inside_thumbnail_head", Thumb(121)},
        {"inside_thumbnail_bytes", ThumbData(10)},
        {"at_layer0", LayerAt(0, 0)},
        {"inside_layer0_head", LayerAt(0, 61)},
        {"inside_layer0_table", [](const SlideLayout& l) { return l.tileTables[0] + 5; }},
        {"at_layer1", LayerAt(1, 0)},
        {"inside_layer1_head", LayerAt(1, 121)},
        {"inside_layer1_table", [](const SlideLayout& l) { return l.tileTables[1] + 7; }},
    };
    for (Base base : {Base::Jpeg, Base::Hevc})
        for (const Cut& cut : cuts)
            add(std::string("truncated_") + cut.name + (base == Base::Hevc ? "_hevc" : ""), base,
                Truncate(cut.at), false);
    for (const Cut& cut : {cuts[0], cuts[1], cuts[2], cuts[15], cuts[16], cuts[18]})
        if (std::string(cut.name).find("label") == std::string::npos)
            add(
                std::string("truncated_") + cut.name + "_bare", Base::Bare,
                [at = cut.at](Bytes& b, const SlideLayout& l) {
                    const uint64_t keep = std::min<uint64_t>(at(l), b.size() - 1);
                    b.erase(b.begin() + static_cast<ptrdiff_t>(keep), b.end());
                },
                false);

    // Truncations inside the tiles: the slide opens, the cut tiles fail when read.
    add("truncated_inside_tiles_of_layer0", Base::Jpeg, Truncate(TileAt(0, 0, 10)), false);
    add("truncated_inside_first_tile_of_last_layer", Base::Jpeg, Truncate(TileAt(1, 0, 10)), true,
        Both(TileFails(1, 0, 0, ZY_E_SHORT_READ), RegionFails(1)));
    add(
        "truncated_inside_last_tile", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) { b.pop_back(); }, true,
        Both(TileFails(1, 1, 0, ZY_E_SHORT_READ), TileReads(0, 0, 0)));
    add("truncated_at_layer1_tiles", Base::Jpeg, Truncate(TileAt(1, 0, 0)), true,
        Both(TileFails(1, 0, 0, ZY_E_SHORT_READ), TileReads(0, 2, 1)));
    add("truncated_inside_hevc_tile", Base::Hevc, Truncate(TileAt(1, 1, 3)), true,
        Both(TileFails(1, 1, 0, ZY_E_SHORT_READ), RegionFails(1)));

    // Wrong magics.
    struct Magic {
        const char* name;
        std::function<uint64_t(const SlideLayout&)> at;
    };
    const Magic magics[] = {{"header", Fixed(0)},      {"person", Fixed(156)},
                            {"extra", Fixed(6964)},    {"label", Label(0)},
                            {"macrograph", Macro(0)},  {"thumbnail", Thumb(0)},
                            {"layer0", LayerAt(0, 0)}, {"layer1", LayerAt(1, 0)}};
    for (const Magic& m : magics)
        for (int byte = 0; byte < 2; ++byte)
            add(
                std::string("magic_") + m.name + (byte == 0 ? "_first" : "_second"), Base::Jpeg,
                [at = m.at, byte](Bytes& b, const SlideLayout& l) { b[at(l) + byte] ^= 0x20; },
                false);
    add("magic_header_bare", Base::Bare, Byte(Fixed(1), 'z'), false);
    add("magic_thumbnail_bare", Base::Bare, Byte(Thumb(0), 'i'), false);

    // Chain offsets: past the end, looping, off by one, at the header.
    struct Link {
        const char* name;
        std::function<uint64_t(const SlideLayout&)> at;
    };
    const Link links[] = {{"label_next", Label(43)},
                          {"macrograph_next", Macro(43)},
                          {"thumbnail_next", Thumb(30)},
                          {"layer0_next", LayerAt(0, 30)}};
    for (const Link& link : links) {
        const std::string n = link.name;
        add(n + "_past_end", Base::Jpeg, U64(link.at, uint64_t{1} << 40), false);
        add(n + "_huge", Base::Jpeg, U64(link.at, kHuge), false);
        add(n + "_all_ones", Base::Jpeg, U64(link.at, kAll), false);
        add(n + "_to_header", Base::Jpeg, U64(link.at, 0), false);
        add(n + "_plus_one", Base::Jpeg, Add64(link.at, 1), false);
        add(n + "_minus_one", Base::Jpeg, Add64(link.at, -1), false);
    }
    add(
        "layer0_next_loops_to_itself", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            tarnwriter::PutU64(b, l.layerRecords[0] + 30, l.layerRecords[0]);
        },
        false);
    add(
        "layer1_next_loops_with_more_layers", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            tarnwriter::PutU32(b, 38, 40);
            tarnwriter::PutU64(b, l.layerRecords[1] + 30, l.layerRecords[0]);
        },
        false);
    add(
        "thumbnail_next_skips_to_layer1", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            tarnwriter::PutU64(b, l.thumbnailRecord + 30, l.layerRecords[1]);
        },
        false);
    add("last_layer_next_is_ignored", Base::Jpeg, U64(LayerAt(1, 30), kAll), true,
        TileReads(1, 1, 0));
    add("thumbnail_next_past_end_bare", Base::Bare, U64(Thumb(30), kHuge), false);

    // Header counts.
    add("layers_zero", Base::Jpeg, U32(Fixed(38), 0), false);
    add("layers_one_of_two", Base::Jpeg, U32(Fixed(38), 1), true, TileReads(0, 1, 1));
    add("layers_one_more", Base::Jpeg, U32(Fixed(38), 3), false);
    add("layers_huge", Base::Jpeg, U32(Fixed(38), 0x7FFFFFFF), false);
    add("layers_all_ones", Base::Jpeg, U32(Fixed(38), 0xFFFFFFFF), false);
    add("macrographs_zero_with_person", Base::Jpeg, U32(Fixed(30), 0), false);
    add("macrographs_one", Base::Jpeg, U32(Fixed(30), 1), false);
    add("macrographs_three", Base::Jpeg, U32(Fixed(30), 3), false);
    add("macrographs_all_ones", Base::Jpeg, U32(Fixed(30), 0xFFFFFFFF), false);
    add("macrographs_two_without_person", Base::Bare, U32(Fixed(30), 2), false);
    add("person_flag_without_area", Base::Bare, U32(Fixed(34), 1), false);
    add("person_flag_cleared", Base::Jpeg, U32(Fixed(34), 0), false);
    add("extra_flag_cleared", Base::Jpeg, U64(Fixed(88), 0), true,
        [](ZyTarnInfo* s) { EXPECT_EQ(s->ExtraInfo, nullptr); });
    add("extra_flag_without_person", Base::Bare, U64(Fixed(88), 1), true,
        [](ZyTarnInfo* s) { EXPECT_EQ(s->ExtraInfo, nullptr); });
    add("tile_width_zero", Base::Jpeg, U32(Fixed(50), 0), false);
    add("tile_height_zero", Base::Jpeg, U32(Fixed(54), 0), false);
    add("tile_width_huge", Base::Jpeg, U32(Fixed(50), 0x40000000), false);
    add(
        "tile_area_past_int", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) {
            tarnwriter::PutU32(b, 50, 30000);
            tarnwriter::PutU32(b, 54, 30000);
        },
        false);
    add("tile_width_one_more", Base::Jpeg, Add32(Fixed(50), 1), true,
        Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add("tile_height_one_less", Base::Jpeg, Add32(Fixed(54), -1), true,
        Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add("tile_width_one_more_hevc", Base::Hevc, Add32(Fixed(50), 1), true, RegionFails(0));
    // HEVC cannot code odd 4:2:0 sizes: an odd tile size arrives one larger and is accepted.
    add("tile_height_one_less_hevc", Base::Hevc, Add32(Fixed(54), -1), true, TileReads(0, 0, 0));
    add("tile_height_two_less_hevc", Base::Hevc, Add32(Fixed(54), -2), true, RegionFails(0));
    // Tiles the header says are 23170 pixels a side (the largest the open takes) while the stored
    // JPEGs are small: each fails as a tile of another size, without memory for the claimed one.
    add(
        "tile_size_claims_huge", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) {
            tarnwriter::PutU32(b, 50, 23170);
            tarnwriter::PutU32(b, 54, 23170);
        },
        true, RegionFails(0));
    add(
        "tile_size_one", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) {
            tarnwriter::PutU32(b, 50, 1);
            tarnwriter::PutU32(b, 54, 1);
        },
        true, RegionFails(0));
    for (uint32_t type : {1U, 2U, 3U, 5U, 0xFFFFFFFFU})
        add("compression_" + std::to_string(type), Base::Jpeg, U32(Fixed(104), type), true,
            Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add("compression_jpeg_on_hevc_tiles", Base::Hevc, U32(Fixed(104), 0), true,
        Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add("compression_hevc_on_jpeg_tiles", Base::Jpeg, U32(Fixed(104), 4), true,
        Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add(
        "mpp_huge", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) { tarnwriter::PutF64(b, 76, 1e300); }, true,
        [](ZyTarnInfo* s) { EXPECT_EQ(GetDescription(s), nullptr); });
    add(
        "mpp_nan", Base::Jpeg,
        [](Bytes& b, const SlideLayout&) { tarnwriter::PutF64(b, 76, std::nan("")); }, true);
    add("ratio_infinite", Base::Jpeg, F32(Fixed(72), std::numeric_limits<float>::infinity()), true);
    add("image_size_all_ones", Base::Jpeg, U32(Fixed(42), 0xFFFFFFFF), true);

    // Colour parameters: every value a damaged record can hold still gives a table.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    add("gamma_zero", Base::Jpeg, F32(Fixed(6964 + 34), 0.0F), true, TileReads(0, 0, 0));
    add("gamma_negative", Base::Jpeg, F32(Fixed(6964 + 34), -2.0F), true, TileReads(0, 0, 0));
    add("gamma_nan", Base::Jpeg, F32(Fixed(6964 + 34), nan), true, TileReads(0, 0, 0));
    add("gamma_infinite", Base::Jpeg, F32(Fixed(6964 + 34), inf), true, TileReads(0, 0, 0));
    add("gain_nan", Base::Jpeg, F32(Fixed(6964 + 38), nan), true, TileReads(0, 0, 0));
    add("hue_scale_infinite", Base::Jpeg, F32(Fixed(6964 + 50), inf), true, TileReads(0, 0, 0));
    add("matrix_huge_negative", Base::Jpeg, F32(Fixed(6964 + 62), -1e30F), true,
        TileReads(0, 0, 0));

    // Label and macrograph records.
    // The chain follows offsets, not sizes: a wrong size only spoils the label itself.
    add("label_size_zero", Base::Jpeg, U64(Label(34), 0), true, NoLabelPixels(0));
    add("label_size_one_less", Base::Jpeg, Add64(Label(34), -1), true);
    add("label_size_one_more", Base::Jpeg, Add64(Label(34), 1), true);
    add("label_size_huge", Base::Jpeg, U64(Label(34), kHuge), false);
    add("label_size_all_ones", Base::Jpeg, U64(Label(34), kAll), false);
    add("macrograph_size_past_end", Base::Jpeg, U64(Macro(34), uint64_t{1} << 33), false);
    add("macrograph_size_all_ones", Base::Jpeg, U64(Macro(34), kAll), false);
    add("label_width_one_more", Base::Jpeg, Add32(Label(10), 1), true, NoLabelPixels(0));
    add("label_height_zero", Base::Jpeg, U32(Label(14), 0), true, NoLabelPixels(0));
    add("macrograph_width_huge", Base::Jpeg, U32(Macro(10), 0xFFFFFFF0), true, NoLabelPixels(1));
    add("macrograph_height_huge", Base::Jpeg, U32(Macro(14), 0x7FFFFFFF), true, NoLabelPixels(1));
    add("label_channels_odd", Base::Jpeg, U32(Label(18), 7), true);
    add(
        "label_bytes_not_jpeg", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) { b[l.macroData[0]] = 0; }, true, NoLabelPixels(0));
    add(
        "macrograph_bytes_cut_short", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            for (uint64_t i = l.macroData[1] + 200; i < l.thumbnailRecord; ++i)
                b[i] = 0;
        },
        true);

    // Thumbnails.
    add("thumbnail_size_zero", Base::Jpeg, U64(Thumb(22), 0), true, NoThumbnailPixels());
    add("thumbnail_size_one_less", Base::Jpeg, Add64(Thumb(22), -1), true);
    add("thumbnail_size_past_end", Base::Jpeg, U64(Thumb(22), uint64_t{1} << 36), false);
    add("thumbnail_size_all_ones", Base::Jpeg, U64(Thumb(22), kAll), false);
    add("thumbnail_format_unknown", Base::Jpeg, Byte(Thumb(58), 2), true, NoThumbnailPixels());
    add("thumbnail_format_bmp_on_jpeg", Base::Jpeg, Byte(Thumb(58), 1), true, NoThumbnailPixels());
    add("thumbnail_format_jpeg_on_bmp", Base::Bmp, Byte(Thumb(58), 0), true, NoThumbnailPixels());
    add("thumbnail_width_other", Base::Jpeg, Add32(Fixed(58), 1), true, NoThumbnailPixels());
    add("thumbnail_height_zero", Base::Jpeg, U32(Fixed(62), 0), true, NoThumbnailPixels());
    add("thumbnail_width_huge", Base::Jpeg, U32(Fixed(58), 0xFFFFFFFF), true, NoThumbnailPixels());
    add("thumbnail_bytes_not_jpeg", Base::Jpeg, Byte(ThumbData(1), 0), true, NoThumbnailPixels());

    // BMP thumbnails whose headers promise more than is stored, or what the reader does not read.
    const uint64_t info = 14;
    add("bmp_taller_than_stored", Base::Bmp, U32(ThumbData(info + 8), 16), true,
        NoThumbnailPixels());
    add("bmp_wider_than_stored", Base::Bmp, U32(ThumbData(info + 4), 21), true,
        NoThumbnailPixels());
    add("bmp_height_huge", Base::Bmp, U32(ThumbData(info + 8), 0x7FFFFFFF), true,
        NoThumbnailPixels());
    add("bmp_width_huge", Base::Bmp, U32(ThumbData(info + 4), 0x7FFFFFFF), true,
        NoThumbnailPixels());
    add("bmp_top_down", Base::Bmp, U32(ThumbData(info + 8), static_cast<uint32_t>(-15)), true,
        NoThumbnailPixels());
    add("bmp_compressed", Base::Bmp, U32(ThumbData(info + 16), 1), true, NoThumbnailPixels());
    for (uint16_t bits : {0, 1, 8, 16, 48, 255})
        add(
            "bmp_bits_" + std::to_string(bits), Base::Bmp,
            [bits](Bytes& b, const SlideLayout& l) {
                b[l.thumbnailData + info + 14] = static_cast<uint8_t>(bits);
                b[l.thumbnailData + info + 15] = 0;
            },
            true, NoThumbnailPixels());
    add(
        "bmp_cut_short", Base::Bmp,
        [](Bytes& b, const SlideLayout& l) {
            tarnwriter::PutU64(b, l.thumbnailRecord + 22,
                               tarnwriter::GetU64(b, l.thumbnailRecord + 22) - 30);
        },
        true, NoThumbnailPixels());
    add("bmp_only_file_header", Base::Bmp, U64(Thumb(22), 14), true, NoThumbnailPixels());
    // The file header is not read: a wrong pixel offset or magic leaves the thumbnail intact.
    for (const auto& [name, at] :
         {std::pair{"bmp_pixel_offset_past_end", 10}, std::pair{"bmp_magic_wrong", 0}})
        add(name, Base::Bmp, U32(ThumbData(at), 0x7FFFFFFF), true,
            [](ZyTarnInfo* s) { EXPECT_NE(s->ThumbImage->Pixels, nullptr); });
    add("bmp_info_size_huge", Base::Bmp, U32(ThumbData(info), 0xFFFFFFF0), true,
        NoThumbnailPixels());

    // Layer records and tile tables.
    for (int k = 0; k < 2; ++k) {
        const std::string n = "layer" + std::to_string(k) + "_";
        add(n + "columns_zero", Base::Jpeg, U32(LayerAt(k, 14), 0), true,
            [k](ZyTarnInfo* s) { EXPECT_EQ(RegionCode(s, k), ZY_E_REGION); });
        add(n + "columns_one_more", Base::Jpeg, Add32(LayerAt(k, 14), 1), false);
        add(n + "rows_one_more", Base::Jpeg, Add32(LayerAt(k, 18), 1), false);
        add(n + "columns_all_ones", Base::Jpeg, U32(LayerAt(k, 14), 0xFFFFFFFF), false);
        add(n + "grid_past_int", Base::Jpeg, U32(LayerAt(k, 18), 0x01000000), false);
        add(n + "tile_count_zero", Base::Jpeg, U32(LayerAt(k, 10), 0), false);
        add(n + "tile_count_one_less", Base::Jpeg, Add32(LayerAt(k, 10), -1), false);
        add(n + "tile_count_all_ones", Base::Jpeg, U32(LayerAt(k, 10), 0xFFFFFFFF), false);
        add(n + "tile_count_past_end", Base::Jpeg, U32(LayerAt(k, 10), 0x10000000), false);
        add(n + "bound_huge", Base::Jpeg, U32(LayerAt(k, 50), 0xFFFFFFFF), true);
    }
    add("layer0_tile_count_one_more", Base::Jpeg, Add32(LayerAt(0, 10), 1), true);
    // A table claiming far more entries than the grid addresses, in a file long enough to hold
    // them (a sparse file can claim gigabytes): refused before the table is read.
    add(
        "last_layer_tile_count_far_above_grid", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            const uint64_t record = l.layerRecords[1];
            const uint32_t grid =
                tarnwriter::GetU32(b, record + 14) * tarnwriter::GetU32(b, record + 18);
            const uint32_t spare = (1U << 16) + 1;
            tarnwriter::PutU32(b, record + 10, grid + spare);
            b.resize(b.size() + 4 * size_t{spare}, 0);
        },
        false);
    // Found by fuzzing: a grid of no columns but millions of rows is empty, and decoding it as a
    // whole layer must not visit every row.
    add(
        "layer1_millions_of_rows_without_columns", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            tarnwriter::PutU32(b, l.layerRecords[1] + 10, 0);
            tarnwriter::PutU32(b, l.layerRecords[1] + 14, 0);
            tarnwriter::PutU32(b, l.layerRecords[1] + 18, 16712192);
        },
        true,
        [](ZyTarnInfo* s) {
            unsigned char* data = nullptr;
            int width = -1, height = -1;
            EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(s, &data, &width, &height, 1), 0);
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(width, 0);
            EXPECT_EQ(height, 48 * 16712192);
        });
    add(
        "both_layers_columns_zero", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            for (int k = 0; k < 2; ++k) {
                tarnwriter::PutU32(b, l.layerRecords[k] + 14, 0);
                tarnwriter::PutU32(b, l.layerRecords[k] + 10, 0);
            }
        },
        true, [](ZyTarnInfo* s) { EXPECT_EQ(RegionCode(s, 1), ZY_E_REGION); });

    // Tile sizes in the table.
    add("tile_size_zero", Base::Jpeg, U32(TableEntry(0, 0), 0), true,
        [](ZyTarnInfo* s) { EXPECT_EQ(TileCode(s, 0, 0, 0), 0); });  // now empty: white
    add("tile_size_negative", Base::Jpeg, U32(TableEntry(0, 1), 0x80000000), true,
        TileReads(0, 1, 0));
    add("tile_size_one_less", Base::Jpeg, Add32(TableEntry(0, 0), -1), true);
    add("tile_size_one_more", Base::Jpeg, Add32(TableEntry(0, 0), 1), true);
    add("tile_size_huge", Base::Jpeg, U32(TableEntry(0, 2), 0x7FFFFFFF), true,
        Both(TileFails(0, 2, 0, ZY_E_SHORT_READ), RegionFails(0)));
    add("last_tile_size_past_end", Base::Jpeg, Add32(TableEntry(1, 1), 100), true,
        TileFails(1, 1, 0, ZY_E_SHORT_READ));
    add("tile_size_huge_hevc", Base::Hevc, U32(TableEntry(0, 0), 0x7FFFFFFF), true,
        Both(TileFails(0, 0, 0, ZY_E_SHORT_READ), RegionFails(0)));
    add(
        "tile_bytes_zeroed", Base::Jpeg,
        [](Bytes& b, const SlideLayout& l) {
            for (uint32_t i = 0; i < l.tileSizes[0][3]; ++i)
                b[l.tileOffsets[0][3] + i] = 0;
        },
        true, Both(TileFails(0, 0, 1, ZY_E_DECODE), RegionFails(0)));
    add(
        "tile_bytes_zeroed_hevc", Base::Hevc,
        [](Bytes& b, const SlideLayout& l) {
            for (uint32_t i = 0; i < l.tileSizes[0][0]; ++i)
                b[l.tileOffsets[0][0] + i] = 0;
        },
        true, Both(TileFails(0, 0, 0, ZY_E_DECODE), RegionFails(0)));
    add(
        "tile_bytes_scrambled_hevc", Base::Hevc,
        [](Bytes& b, const SlideLayout& l) {
            for (uint32_t i = 20; i < l.tileSizes[0][1]; i += 3)
                b[l.tileOffsets[0][1] + i] ^= 0x5A;
        },
        true);
    add("tile_jpeg_header_only", Base::Jpeg, Truncate(TileAt(1, 1, 300)), true,
        TileFails(1, 1, 0, ZY_E_SHORT_READ));

    // tarn.h refuses a slide with a level whose bound area covers its grid: no picture to show.
    for (Case& c : cases)
        for (const char* name :
             {"tile_size_one", "layer0_columns_zero", "layer1_columns_zero", "layer0_bound_huge",
              "layer1_bound_huge", "layer1_millions_of_rows_without_columns",
              "both_layers_columns_zero"})
            if (c.name == name) c.tarnRefuses = "a level without a picture";
    return cases;
}

}  // namespace

const std::vector<Case>& DamagedCases() {
    static const std::vector<Case> cases = AllCases();
    return cases;
}

Bytes DamagedBytes(const Case& c) {
    const tarnwriter::SlideFile& base = BaseSlide(c.base);
    Bytes bytes = base.bytes;
    c.damage(bytes, base.layout);
    return bytes;
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

Deadline::Deadline(std::string what, int seconds)
    : watch_([this, what = std::move(what), seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return over_; })) return;
          fprintf(stderr, "%s: still running after %d s\n", what.c_str(), seconds);
          std::abort();
      }) {}

Deadline::~Deadline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        over_ = true;
    }
    done_.notify_one();
    watch_.join();
}

}  // namespace tarntest
