// Opening and closing slides, calls in progress, and error messages.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "DecodeTarn/SlideOpen.h"
#include "TarnApi/Associated.h"
#include "TarnApi/Cache.h"
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

void ExplainOpenFailure(const char* path, const OpenFailure& failure) {
    switch (failure.error) {
        case OpenError::NoPath:
            SetOpenError("no file name given");
            return;
        case OpenError::SystemError:
            SetOpenError("cannot open %s: %s", path, SystemMessage(failure.systemError).c_str());
            return;
        case OpenError::NotRegularFile:
            SetOpenError("cannot open %s: not a regular file", path);
            return;
        case OpenError::NoMemory:
            SetOpenError("cannot open %s: out of memory", path);
            return;
        case OpenError::Damaged:
        case OpenError::None:
            break;
    }
    SetOpenError("cannot open %s: not a readable Tarn slide (damaged, or another format)", path);
}

// Everything the getters hand out is worked out once, here; false with the reason in `why`.
bool Describe(tarn_slide* slide, std::string* why) {
    if (!MeasureLevels(slide->info, &slide->levels, why)) return false;
    slide->bounds = StoredTileBounds(slide->info, slide->levels[0]);
    BuildProperties(slide->info, slide->levels, slide->bounds, &slide->properties);
    ListAssociatedImages(slide);
    return true;
}

}  // namespace

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
        ZyTarnInfo* info = OpenSlide(filename, &failure);
        if (info == nullptr) {
            ExplainOpenFailure(filename, failure);
            return nullptr;
        }
        auto* slide = new (std::nothrow) tarn_slide;
        if (slide == nullptr) {
            CloseSlide(info);
            SetOpenError("cannot open %s: out of memory", filename);
            return nullptr;
        }
        slide->info = info;
        std::string why;
        bool described = false;
        try {
            described = Describe(slide, &why);
        } catch (...) {
            why = "out of memory";
        }
        if (!described) {
            CloseSlide(info);
            delete slide;
            SetOpenError("cannot open %s: %s", filename, why.c_str());
            return nullptr;
        }
        openError.clear();
        openErrorLost = false;
        return slide;
    } catch (...) {
        SetOpenError("cannot open %s: out of memory", filename != nullptr ? filename : "(null)");
        return nullptr;
    }
}

void tarn_close(tarn_slide* slide) {
    if (slide == nullptr) return;
    slide->gate.WaitIdle();
    ReleaseSlideCache(slide->cache);
    CloseSlide(slide->info);
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
