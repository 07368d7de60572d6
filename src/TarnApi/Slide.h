// What a tarn_slide holds, and how every exported call on one runs: it keeps the slide from being
// released under it (tarn_close waits for it) and records its outcome for tarn_get_error.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Core/Associated.h"
#include "Core/Slide.h"
#include "Service/Levels.h"
#include "tarn.h"

namespace tarn {

// Property names and values, sorted by name, and the NULL-terminated name list handed out.
struct Properties {
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<const char*> names;
};

// An associated image with decoded pixels (3-byte blue-green-red, rows without gaps).
struct NamedImage {
    const char* name = nullptr;
    const AssociatedImage* image = nullptr;
};

// The associated images, listed when they are first asked for (decoding them costs an open
// that nobody asks for them nothing).
struct AssociatedList {
    std::once_flag once;
    std::vector<NamedImage> images;
    std::vector<const char*> names;  // NULL-terminated
    bool listed = false;             // false: the images could not be read; the lists hold none
};

// A property whose value is worked out the first time it is asked for, then kept.
struct LazyProperty {
    std::mutex lock;
    bool known = false;  // under lock; once set, `value` no longer changes
    std::string value;
};

// Calls in progress on a slide, so that tarn_close can wait for them. Entering and leaving cost an
// atomic each; only the last call to leave while a close waits takes the lock.
class CallGate {
  public:
    void Enter() { state_.fetch_add(1); }
    void Leave();
    // Returns when no call is in progress; none may enter any more.
    void WaitIdle();
    int64_t inFlight() const { return static_cast<int64_t>(state_.load() & ~kClosing); }

  private:
    static constexpr uint64_t kClosing = uint64_t{1} << 63;
    std::atomic<uint64_t> state_{0};  // calls in progress, plus kClosing once a close waits
    std::mutex lock_;
    std::condition_variable idle_;
    bool drained_ = false;  // under lock_
};

// The last failure of each thread on one slide. A thread reads and replaces only its own entry, so
// the text it was handed stays put while other threads record theirs.
class ErrorBoard {
  public:
    // Records a failure of the calling thread (never throws: without memory for the text, the
    // message is a fixed one).
    void Set(const char* message) noexcept;
    // Records a success of the calling thread.
    void Clear() noexcept;
    // The calling thread's last failure, or null.
    const char* Get() noexcept;

  private:
    std::mutex lock_;
    std::unordered_map<uint64_t, std::string> messages_;  // by ThreadSerial()
    std::atomic<int64_t> count_{0};
};

// A number for the calling thread that no other thread of the process ever has (thread ids are
// reused once a thread is gone).
uint64_t ThreadSerial();

}  // namespace tarn

struct tarn_slide {
    tarn::Slide* core = nullptr;  // the slide itself; this is tarn.h's view of it
    std::string name;             // how messages name the slide: its path, its URL without user
                                  // part and query, or "the reader's slide"
    std::vector<tarn::Level> levels;
    std::optional<tarn::Bounds> bounds;
    tarn::Properties properties;
    tarn::AssociatedList associated;
    tarn::LazyProperty quickhash;  // openslide.quickhash-1 (QuickHash.h)
    tarn::CallGate gate;
    tarn::ErrorBoard errors;
};

namespace tarn {

// One exported call on a slide, from entry to return. A call that does not Fail() records a
// success when it ends.
class SlideCall {
  public:
    explicit SlideCall(tarn_slide* slide) : slide_(slide) { slide_->gate.Enter(); }
    ~SlideCall();
    SlideCall(const SlideCall&) = delete;
    SlideCall& operator=(const SlideCall&) = delete;

    tarn_slide& slide() const { return *slide_; }
    // Records the call as failed with a printf-formatted message.
    void Fail(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    bool failed() const { return failed_; }

  private:
    tarn_slide* slide_;
    bool failed_ = false;
    SourceCall reads_;  // one deadline for the call's reads of a slide over a network
};

// Opens a slide over `source` (taken over whatever happens, as OpenSlideFrom takes it) as tarn.h's
// view, its failures named after `name` ("cannot open <name>: ..."): how every tarn_open* entry
// point opens, whatever the bytes come from. NULL with the reason in tarn_get_error(NULL).
tarn_slide* OpenSlideView(const ByteSource& source, const char* name);

// Runs body(call) as one call on `slide`, giving `failure` for a null slide or when the body
// throws (memory ran out: recorded as the call's message). Nothing escapes to the C caller.
template <class Result, class Body>
Result OnSlide(tarn_slide* slide, Result failure, Body&& body) noexcept {
    if (slide == nullptr) return failure;
    SlideCall call(slide);
    try {
        return body(call);
    } catch (...) {
        call.Fail("out of memory");
        return failure;
    }
}

// The same for calls that return nothing.
template <class Body>
void OnSlideVoid(tarn_slide* slide, Body&& body) noexcept {
    if (slide == nullptr) return;
    SlideCall call(slide);
    try {
        body(call);
    } catch (...) {
        call.Fail("out of memory");
    }
}

}  // namespace tarn
