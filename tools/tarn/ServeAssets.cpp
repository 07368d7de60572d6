#include "ServeAssets.h"

namespace tarncli::serve {

const EmbeddedFile* FindEmbeddedFile(std::string_view name) {
    for (size_t i = 0; i < kEmbeddedFileCount; ++i)
        if (kEmbeddedFiles[i].name == name) return &kEmbeddedFiles[i];
    return nullptr;
}

std::string_view ContentTypeOf(std::string_view name) {
    struct Type {
        std::string_view extension, type;
    };
    static constexpr Type kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".png", "image/png"},
        {".jpeg", "image/jpeg"},
        {".ico", "image/x-icon"},
        {".json", "application/json"},
        {".dzi", "application/xml"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const Type& type : kTypes)
        if (name.size() >= type.extension.size() &&
            name.substr(name.size() - type.extension.size()) == type.extension)
            return type.type;
    return "application/octet-stream";
}

}  // namespace tarncli::serve
