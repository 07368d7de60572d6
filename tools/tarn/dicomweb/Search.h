// QIDO-RS: searches for studies, series and instances among the served slides.
#pragma once

#include <string>

#include "dicomweb/Context.h"

namespace tarncli::dicomweb {

enum class SearchLevel { Study, Series, Instance };

// Searches at `level` within `study` and `series` (empty: any). Each result carries the
// attributes DICOMweb lists for its level (and for the levels above, where the path names none),
// those includefield and the matching keys ask for, and every attribute of the instance with
// includefield=all at the instance level. A search without results answers 204 (see
// Options::emptySearchIsNoContent).
Answer Search(const Context& context, SearchLevel level, const std::string& study,
              const std::string& series);

}  // namespace tarncli::dicomweb
