// Recognising a Tarn slide from its header alone, for callers that choose a reader by the file
// (an OpenSlide-compatible library answers openslide_detect_vendor with this).
#include <unistd.h>

#include <cstring>

#include "Common/FileAccess.h"
#include "DecodeTarn/RecordLayout.h"
#include "tarn.h"

namespace tarn {
namespace {

// What every open checks first: the magic and the header fields without which no slide opens.
// A file that passes may still fail to open when a later record is damaged.
bool LooksLikeTarnHeader(const ZyPicHead& head) {
    return HasMagic(head.Magic, "ZY") && head.Layer > 0 && head.TileWidth > 0 &&
           head.TileHeight > 0 && (head.MacrographCount == 0 || head.MacrographCount == 2);
}

}  // namespace
}  // namespace tarn

const char* tarn_detect_vendor(const char* filename) {
    if (filename == nullptr) return nullptr;
    tarn::FileIdentity identity;
    const int fd = tarn::OpenRegularFile(filename, &identity);
    if (fd < 0) return nullptr;
    ZyPicHead head;
    const bool read = static_cast<uint64_t>(identity.size) >= tarn::kHeadSize &&
                      tarn::ReadFully(fd, 0, &head, sizeof head);
    close(fd);
    return read && tarn::LooksLikeTarnHeader(head) ? "tarn" : nullptr;
}
