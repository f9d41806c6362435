// The page's files, built into the program (web/page, embedded by
// embed_files.cmake): nothing is read from disk at run time.
#pragma once

#include <cstddef>
#include <string_view>

namespace conf::web {

struct PageFile {
    const char* path;  // as requested, e.g. "/app.js"
    const char* content_type;
    const unsigned char* bytes;
    std::size_t size;
    const unsigned char* gzip_bytes;  // the same, compressed with gzip
    std::size_t gzip_size;
    const char* etag;  // of the content, quoted: "\"0123abcd\""

    std::string_view view() const { return {reinterpret_cast<const char*>(bytes), size}; }
    std::string_view gzip_view() const { return {reinterpret_cast<const char*>(gzip_bytes), gzip_size}; }
};


// The file served at `path` ("/" is the page itself), or nullptr.
const PageFile* find_page_file(std::string_view path);

}  // namespace conf::web
