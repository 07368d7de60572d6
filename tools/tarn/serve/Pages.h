// The text `tarn serve` sends: the index and viewer pages, properties as JSON, and the escaping
// that keeps names and values read from slides inert in HTML and JSON.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarncli::serve {

struct ServedSlide;

// A JSON string literal, quotes included. '<', '>' and '&' are escaped too so that the result can
// sit inside a <script> element; bytes that are not UTF-8 become U+FFFD.
std::string JsonQuote(std::string_view text);

std::string IndexPage(const std::vector<std::shared_ptr<ServedSlide>>& slides);
std::string ViewerPage(const ServedSlide& slide);
// {"name": ..., "associated": [...], "properties": {...}}
std::string PropertiesJson(const ServedSlide& slide);

}  // namespace tarncli::serve
