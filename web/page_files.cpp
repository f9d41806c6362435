#include "page_files.h"

namespace conf::web {

// Generated from web/page at build time.
extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

const PageFile* find_page_file(std::string_view path) {
    if (path == "/") path = "/index.html";
    for (std::size_t i = 0; i < kPageFileCount; ++i)
        if (path == kPageFiles[i].path) return &kPageFiles[i];
    return nullptr;
}

}  // namespace conf::web
