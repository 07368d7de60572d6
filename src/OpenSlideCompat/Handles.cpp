#include "OpenSlideCompat/Handles.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

namespace tarn::compat {
namespace {

// A closed handle is reused only once this many others are waiting, so that a program that
// wrongly goes on using a handle after closing it is very likely to meet it still closed.
constexpr size_t kClosedHandlesKept = 64;

struct Registry {
    std::shared_mutex lock;
    std::unordered_set<const openslide_t*> handles;  // every handle ever made
    std::deque<openslide_t*> closed;                 // oldest first
};

// Never destroyed: calls may come from other threads while the process exits.
Registry& TheRegistry() {
    static Registry* const registry = new Registry;
    return *registry;
}

// Stands for a message there was no memory to copy.
char noMemoryText[] = "out of memory";

char* Copy(const char* message) {
    char* text = strdup(message != nullptr ? message : "unknown error");
    return text != nullptr ? text : noMemoryText;
}

void Release(char* text) {
    if (text != noMemoryText) free(text);
}

}  // namespace

openslide_t* NewHandle(HandleKind kind, tarn_slide* tarn, openslide_t* real, const char* error,
                       std::unique_ptr<AddedProperties> added) {
    Registry& registry = TheRegistry();
    openslide_t* osr = nullptr;
    try {
        std::unique_lock<std::shared_mutex> hold(registry.lock);
        if (registry.closed.size() > kClosedHandlesKept) {
            osr = registry.closed.front();
            registry.closed.pop_front();
        } else {
            osr = new openslide_t;
            try {
                registry.handles.insert(osr);
            } catch (...) {
                delete osr;
                throw;
            }
        }
    } catch (...) {
        return nullptr;
    }
    // Nobody else holds a closed handle legitimately; a late call on its old self waits here.
    std::unique_lock<std::shared_mutex> hold(osr->gate);
    osr->kind = kind;
    osr->tarn = tarn;
    osr->real = real;
    osr->added = std::move(added);
    Release(
        osr->error.exchange(error != nullptr ? Copy(error) : nullptr, std::memory_order_acq_rel));
    return osr;
}

void CloseHandle(openslide_t* osr) {
    {
        std::unique_lock<std::shared_mutex> hold(osr->gate);
        switch (osr->kind) {
            case HandleKind::Tarn:
                tarn_close(osr->tarn);
                break;
            case HandleKind::Forwarded:
                Real()->close(osr->real);
                break;
            case HandleKind::Closed:
                return;  // closed twice: nothing more to do, and it is in the queue already
        }
        osr->kind = HandleKind::Closed;
        osr->tarn = nullptr;
        osr->real = nullptr;
        osr->added.reset();
        Release(osr->error.exchange(Copy("the slide was closed"), std::memory_order_acq_rel));
    }
    Registry& registry = TheRegistry();
    std::unique_lock<std::shared_mutex> hold(registry.lock);
    try {
        registry.closed.push_back(osr);
    } catch (...) {
        // Not reused, then: it stays closed for good.
    }
}

bool IsOurs(const openslide_t* osr) {
    Registry& registry = TheRegistry();
    std::shared_lock<std::shared_mutex> hold(registry.lock);
    return registry.handles.count(osr) != 0;
}

void Latch(openslide_t* osr, const char* message) {
    char* text = Copy(message);
    char* expected = nullptr;
    if (!osr->error.compare_exchange_strong(expected, text, std::memory_order_acq_rel))
        Release(text);
}

void LatchTarnError(openslide_t* osr) {
    Latch(osr, tarn_get_error(osr->tarn));
}

}  // namespace tarn::compat
