// Recognising a Tarn slide from its header alone, for callers that choose a reader by the file
// (an OpenSlide-compatible library answers openslide_detect_vendor with this). A URL costs one
// request.
#include "Common/Status.h"
#include "Core/FileSource.h"
#include "Core/RecordLayout.h"
#include "Core/Records.h"
#include "Core/RemoteSource.h"
#include "tarn.h"

const char* tarn_detect_vendor(const char* filename) {
    if (filename == nullptr) return nullptr;
    tarn::ByteSource source;
    tarn::OpenFailure failure;
    const tarn::SourceCall call;
    const bool opened = tarn::IsSlideUrl(filename)
                            ? tarn::OpenRemoteSource(filename, &source, &failure)
                            : tarn::OpenFileSource(filename, &source, &failure);
    if (!opened) return nullptr;
    // The checks every open makes first: a file that passes may still fail to open when a later
    // record is damaged.
    tarn::SlideHead head;
    const bool tarn =
        tarn::ReadFromSource(source, 0, &head, sizeof head, nullptr) == tarn::Status::Ok &&
        tarn::CheckHead(head) == tarn::Status::Ok && tarn::HeadUsable(head, source.size);
    tarn::ReleaseSource(&source);
    return tarn ? "tarn" : nullptr;
}
