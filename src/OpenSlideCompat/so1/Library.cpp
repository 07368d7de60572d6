// libopenslide.so.1: OpenSlide 4's behaviour, for the programs that look for OpenSlide 4 by name.
#include "OpenSlideCompat/Interface.h"

namespace tarn::compat {

const Interface kInterface = Interface::OpenSlide4;

}  // namespace tarn::compat
