// Which OpenSlide interface a link product presents. The sources are shared by both libraries;
// each defines this once, in its own folder, for the few behaviours in which OpenSlide 4 differs
// from 3.4.
#pragma once

namespace tarn::compat {

enum class Interface {
    OpenSlide3,  // libopenslide.so.0: Debian's 3.4.1, plus OpenSlide 4's profile and cache calls
    OpenSlide4,  // libopenslide.so.1: OpenSlide 4.0, without the calls it removed
};

extern const Interface kInterface;

inline bool IsOpenSlide4() {
    return kInterface == Interface::OpenSlide4;
}

}  // namespace tarn::compat
