// Text placed in HTML or XML, as element text or a quoted attribute value.
#pragma once

#include <string>
#include <string_view>

namespace tarn {

// `text` with & < > " ' written as references, and the control characters XML 1.0 has no place
// for (all but tab, newline and return) left out.
std::string MarkupEscape(std::string_view text);

}  // namespace tarn
