// libopenslide.so.0: OpenSlide 3.4's behaviour, for the programs linked to Debian's OpenSlide.
#include "OpenSlideCompat/Interface.h"

namespace tarn::compat {

const Interface kInterface = Interface::OpenSlide3;

}  // namespace tarn::compat
