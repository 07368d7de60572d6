// Writes the seed corpora of the fuzz targets from the test-slide writer:
//   tarn_make_seeds DIRECTORY  ->  DIRECTORY/{open,tiles,bmp,jpeg,hevc}/...
#include <cstdio>
#include <filesystem>
#include <string>

#include "DecodeTarn.h"
#include "HevcEncoder.h"
#include "TarnWriter.h"

namespace {

namespace fs = std::filesystem;
using tarnwriter::Bytes;

void Write(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    tarnwriter::WriteFile(path.string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tarn_make_seeds DIRECTORY\n");
        return 2;
    }
    const fs::path out = argv[1];

    tarnwriter::SlideSpec jpeg = tarnwriter::TinySpec();
    tarnwriter::SlideSpec bare = tarnwriter::TinySpec();
    bare.personInfo = false;
    bare.labels = false;
    tarnwriter::SlideSpec bmp = tarnwriter::TinySpec();
    bmp.thumbnail = tarnwriter::EncodeBmp(tarnwriter::RenderTissue(0, 0, 20, 15, 16.0), 24);
    bmp.thumbnailFormat = ZY_FORMAT_BMP;
    tarnwriter::SlideSpec hevc = tarnwriter::TinySpec();
    hevc.compressionType = ZY_COMPRESSION_HEVC;
    hevc.tileEncoder = tarnwriter::HevcTiles(tarnwriter::HevcStream::AllIntra);
    tarnwriter::SlideSpec hevcReordered = hevc;
    hevcReordered.tileEncoder = tarnwriter::HevcTiles(tarnwriter::HevcStream::Default);

    const std::pair<const char*, tarnwriter::SlideSpec*> slides[] = {
        {"jpeg", &jpeg},
        {"bare", &bare},
        {"bmp", &bmp},
        {"hevc", &hevc},
        {"hevc-reordered", &hevcReordered}};
    for (const auto& [name, spec] : slides) {
        const Bytes bytes = tarnwriter::BuildSlide(*spec).bytes;
        Write(out / "open" / (std::string(name) + ".tarn"), bytes);
        Write(out / "tiles" / (std::string(name) + ".tarn"), bytes);
    }

    const tarnwriter::Image image = tarnwriter::RenderTissue(0, 0, 37, 21, 2.0);
    Write(out / "bmp" / "24.bmp", tarnwriter::EncodeBmp(image, 24));
    Write(out / "bmp" / "32.bmp", tarnwriter::EncodeBmp(image, 32));

    // Codec seeds carry the tile size the harness asks for in their first bytes.
    const tarnwriter::Image tile = tarnwriter::RenderTissue(0, 0, 40, 24, 1.0);
    Bytes jpegSeed = {40 - 8, 24 - 8, 5, 3};
    const Bytes stream = tarnwriter::EncodeJpeg(tile, 60);
    jpegSeed.insert(jpegSeed.end(), stream.begin(), stream.end());
    Write(out / "jpeg" / "tile.bin", jpegSeed);
    for (auto kind : {tarnwriter::HevcStream::AllIntra, tarnwriter::HevcStream::Default}) {
        Bytes hevcSeed = {40 - 16, 24 - 16};
        const Bytes h = tarnwriter::EncodeHevc(tile, kind);
        hevcSeed.insert(hevcSeed.end(), h.begin(), h.end());
        Write(
            out / "hevc" / (kind == tarnwriter::HevcStream::AllIntra ? "intra.bin" : "default.bin"),
            hevcSeed);
    }
    printf("seeds written to %s\n", out.c_str());
    return 0;
}
