// Opening and closing slides, calls in progress, and error messages.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "Common/Status.h"
#include "Core/FileSource.h"
#include "Core/RemoteSource.h"
#include "Core/PixelCache.h"
#include "Service/CoarseLevels.h"
#include "TarnApi/Levels.h"
#include "TarnApi/Properties.h"
#include "TarnApi/Slide.h"

namespace tarn {
namespace {

constexpr const char* kOutOfMemory = "out of memory";

// Why this thread's last tarn_open failed; empty after a success.
thread_local std::string openError;
// Set when even the text of an open failure found no memory.
thread_local bool openErrorLost = false;

std::atomic<uint64_t> nextThreadSerial{1};

void SetOpenError(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void SetOpenError(const char* format, ...) noexcept {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    vsnprintf(text, sizeof text, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);
    try {
        openError = text;
        openErrorLost = false;
    } catch (...) {
        openError.clear();
        openErrorLost = true;
    }
}

std::string SystemMessage(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

void ExplainOpenFailure(const std::string& name, const OpenFailure& failure) {
    const char* slide = name.c_str();
    switch (failure.error) {
        case OpenError::NoPath:
            SetOpenError("no file name given");
            return;
        case OpenError::SystemError:
            SetOpenError("cannot open %s: %s", slide, SystemMessage(failure.systemError).c_str());
            return;
        case OpenError::NotRegularFile:
            SetOpenError("cannot open %s: not a regular file", slide);
            return;
        case OpenError::NoMemory:
            SetOpenError("cannot open %s: out of memory", slide);
            return;
        case OpenError::SourceFailed:
            SetOpenError("cannot open %s: %s", slide, failure.why.text);
            return;
        case OpenError::Damaged:
        case OpenError::None:
            break;
    }
    SetOpenError("cannot open %s: not a readable Tarn slide (damaged, or another format)", slide);
}

// Everything the getters hand out but the associated images is worked out once, here; false
// with the reason in `why`.
bool Describe(tarn_slide* slide, std::string* why) {
    if (!MeasureLevels(*slide->core, &slide->levels, why)) return false;
    slide->bounds = StoredTileBounds(*slide->core, slide->levels[0]);
    BuildProperties(*slide->core, slide->levels, slide->bounds, &slide->properties);
    return true;
}

// tarn.h's view of a slide the core opened (null: the open failed); the slide is closed when
// the view cannot be made.
tarn_slide* View(Slide* core, const std::string& name, const OpenFailure& failure) {
    if (core == nullptr) {
        ExplainOpenFailure(name, failure);
        return nullptr;
    }
    auto* slide = new (std::nothrow) tarn_slide;
    if (slide == nullptr) {
        CloseSlide(core);
        SetOpenError("cannot open %s: out of memory", name.c_str());
        return nullptr;
    }
    slide->core = core;
    std::string why;
    bool described = false;
    try {
        slide->name = name;
        described = Describe(slide, &why);
    } catch (...) {
        why = "out of memory";
    }
    if (!described) {
        CloseSlide(core);
        delete slide;
        SetOpenError("cannot open %s: %s", name.c_str(), why.c_str());
        return nullptr;
    }
    openError.clear();
    openErrorLost = false;
    return slide;
}

// A caller's reader as a byte source: the record is copied, and so is the identity.
struct ReaderContext {
    tarn_reader reader{};
    std::string identity;
};

Status ReadFromReader(void* context, uint64_t offset, void* out, size_t length, Error* why) {
    const tarn_reader& reader = static_cast<ReaderContext*>(context)->reader;
    if (reader.read(reader.context, offset, out, length) == 0) return Status::Ok;
    Say(why, "the reader could not deliver %zu bytes at %llu", length,
        static_cast<unsigned long long>(offset));
    return Status::ShortRead;
}

void PrefetchFromReader(void* context, const ByteRange* ranges, size_t count) {
    static_assert(sizeof(ByteRange) == sizeof(tarn_range) &&
                  offsetof(tarn_range, length) == offsetof(ByteRange, length));
    const tarn_reader& reader = static_cast<ReaderContext*>(context)->reader;
    reader.prefetch(reader.context, reinterpret_cast<const tarn_range*>(ranges), count);
}

void CloseReader(void* context) {
    auto* source = static_cast<ReaderContext*>(context);
    if (source->reader.close != nullptr) source->reader.close(source->reader.context);
    delete source;
}

// The reader as a source; false (the reader closed) when memory runs out.
bool ReaderSource(const tarn_reader& reader, ByteSource* source) {
    auto* context = new (std::nothrow) ReaderContext;
    if (context != nullptr) {
        context->reader = reader;
        try {
            if (reader.identity != nullptr && reader.identity_size > 0)
                context->identity.assign(static_cast<const char*>(reader.identity),
                                         reader.identity_size);
        } catch (...) {
            delete context;
            context = nullptr;
        }
    }
    if (context == nullptr) {
        if (reader.close != nullptr) reader.close(reader.context);
        return false;
    }
    *source = ByteSource{};
    source->context = context;
    source->size = reader.size;
    source->read = ReadFromReader;
    if (reader.prefetch != nullptr) source->prefetch = PrefetchFromReader;
    source->release = CloseReader;
    source->identity = context->identity.data();
    source->identitySize = context->identity.size();
    return true;
}

}  // namespace

tarn_slide* OpenSlideView(const ByteSource& source, const char* name) {
    try {
        OpenFailure failure;
        Slide* core = OpenSlideFrom(source, &failure);
        return View(core, name, failure);
    } catch (...) {
        SetOpenError("cannot open %s: out of memory", name);
        return nullptr;
    }
}

uint64_t ThreadSerial() {
    thread_local const uint64_t serial = nextThreadSerial.fetch_add(1);
    return serial;
}

void CallGate::Leave() {
    // Only the last call out, with a close waiting, touches the gate after its decrement; the
    // close cannot go on (and free the gate) before that call has let go of the lock.
    if (state_.fetch_sub(1) == (kClosing | 1)) {
        std::lock_guard<std::mutex> hold(lock_);
        drained_ = true;
        idle_.notify_all();
    }
}

void CallGate::WaitIdle() {
    if ((state_.fetch_or(kClosing) & ~kClosing) == 0) return;
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return drained_; });
}

void ErrorBoard::Set(const char* message) noexcept {
    std::lock_guard<std::mutex> hold(lock_);
    try {
        auto [entry, added] = messages_.try_emplace(ThreadSerial());
        if (added) count_.fetch_add(1);
        try {
            entry->second = message;
        } catch (...) {
            entry->second.clear();  // an empty entry reads as the fixed message
        }
    } catch (...) {
        // Not even room for the entry: the thread's earlier message, if any, stays. Rare enough
        // that a stale text is acceptable; the call still returns its failure.
    }
}

void ErrorBoard::Clear() noexcept {
    // Only this thread adds or removes its entry, so a count of 0 seen here means it has none.
    if (count_.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (messages_.erase(ThreadSerial()) != 0) count_.fetch_sub(1);
}

const char* ErrorBoard::Get() noexcept {
    if (count_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = messages_.find(ThreadSerial());
    if (found == messages_.end()) return nullptr;
    return found->second.empty() ? kOutOfMemory : found->second.c_str();
}

SlideCall::~SlideCall() {
    if (!failed_) slide_->errors.Clear();
    slide_->gate.Leave();
}

void SlideCall::Fail(const char* format, ...) noexcept {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    vsnprintf(text, sizeof text, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);
    failed_ = true;
    slide_->errors.Set(text);
}

}  // namespace tarn

using namespace tarn;

tarn_slide* tarn_open(const char* filename) {
    try {
        OpenFailure failure;
        if (IsSlideUrl(filename)) {
            // Messages name the URL without its user part and query: no credential or signature.
            const std::string name = ShownSlideUrl(filename);
            ByteSource source;
            const SourceCall call;
            if (!OpenRemoteSource(filename, &source, &failure)) return View(nullptr, name, failure);
            return OpenSlideView(source, name.c_str());
        }
        Slide* core = OpenSlide(filename, &failure);
        return View(core, filename != nullptr ? filename : "(null)", failure);
    } catch (...) {
        SetOpenError("cannot open %s: out of memory", filename != nullptr ? filename : "(null)");
        return nullptr;
    }
}

tarn_slide* tarn_open_with_reader(const tarn_reader* reader) {
    constexpr const char* kName = "the reader's slide";
    if (reader == nullptr || reader->read == nullptr) {
        if (reader != nullptr && reader->close != nullptr) reader->close(reader->context);
        SetOpenError("no reader given");
        return nullptr;
    }
    ByteSource source;
    if (!ReaderSource(*reader, &source)) {
        SetOpenError("cannot open %s: out of memory", kName);
        return nullptr;
    }
    return OpenSlideView(source, kName);
}

void tarn_close(tarn_slide* slide) {
    if (slide == nullptr) return;
    // The coarse-level build reads the slide through calls of its own: it ends first.
    StopCoarseLevels(*slide->core);
    slide->gate.WaitIdle();
    CloseSlide(slide->core);
    delete slide;
}

const char* tarn_get_error(tarn_slide* slide) {
    if (slide == nullptr) {
        if (openErrorLost) return kOutOfMemory;
        return openError.empty() ? nullptr : openError.c_str();
    }
    slide->gate.Enter();
    const char* message = slide->errors.Get();
    slide->gate.Leave();
    return message;
}
