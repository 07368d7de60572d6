// How programs over the library show a slide argument and name the files made from it. They know
// URLs and file names, nothing of slides' content: the tool and the export library share them.
#pragma once

#include <string>

namespace tarn {

// Whether a slide argument is a URL (http://, https:// or s3://, the scheme in any case).
bool IsUrl(const std::string& name);

// A slide argument as messages show it: a URL without its user part and query (where credentials
// and signatures travel), anything else as it is.
std::string ShownName(const std::string& name);

// A slide's name in URLs and file names: its file name (a URL's last path segment) without
// folder and extension, every character other than letters, digits, '.', '-' and '_' turned into
// '_' ("slide" for a name of dots only).
std::string SlideStem(const std::string& path);

}  // namespace tarn
