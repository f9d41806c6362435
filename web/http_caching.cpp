#include "http_caching.h"

#include "ascii_case.h"

namespace conf::web {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A q of zero ("q=0", "q=0.0", "q=0.000") refuses.
bool refused(std::string_view parameters) {
    while (!parameters.empty()) {
        const std::size_t semicolon = parameters.find(';');
        const std::string_view parameter = trimmed(parameters.substr(0, semicolon));
        parameters = semicolon == std::string_view::npos ? std::string_view() : parameters.substr(semicolon + 1);
        if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') || parameter[1] != '=') continue;
        const std::string_view value = parameter.substr(2);
        return !value.empty() && value.find_first_not_of("0.") == std::string_view::npos;
    }
    return false;
}

}  // namespace

bool accepts_gzip(std::string_view accept_encoding) {
    bool gzip = false;
    bool star = false;
    bool gzip_named = false;
    while (!accept_encoding.empty()) {
        const std::size_t comma = accept_encoding.find(',');
        const std::string_view item = accept_encoding.substr(0, comma);
        accept_encoding = comma == std::string_view::npos ? std::string_view() : accept_encoding.substr(comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view coding = trimmed(item.substr(0, semicolon));
        const std::string_view parameters = semicolon == std::string_view::npos ? std::string_view() : item.substr(semicolon + 1);
        if (equal_ignoring_ascii_case(coding, "gzip") || equal_ignoring_ascii_case(coding, "x-gzip")) {
            gzip_named = true;
            gzip = !refused(parameters);
        } else if (coding == "*") {
            star = !refused(parameters);
        }
    }
    return gzip_named ? gzip : star;
}

bool etag_matches(std::string_view if_none_match, std::string_view etag) {
    while (!if_none_match.empty()) {
        const std::size_t comma = if_none_match.find(',');
        std::string_view tag = trimmed(if_none_match.substr(0, comma));
        if_none_match = comma == std::string_view::npos ? std::string_view() : if_none_match.substr(comma + 1);
        if (tag == "*") return true;
        if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
        if (tag == etag) return true;
    }
    return false;
}

}  // namespace conf::web
