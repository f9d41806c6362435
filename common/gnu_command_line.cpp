#include "gnu_command_line.h"

#include <cstdio>

#include "text_codec.h"
#include "ui_texts.h"

#ifndef CONF_VERSION
#error "CONF_VERSION comes from the build: the project's version"
#endif

namespace conf::gnu {

namespace {
int length_of(std::string_view text) { return static_cast<int>(text.size()); }
}  // namespace

void print_version(std::string_view program) {
    std::printf("%.*s (%s) %s\n"
                "Copyright (C) 2026 Tavilo.\n"
                "There is NO WARRANTY, to the extent permitted by law.\n",
                length_of(program), program.data(), cp932_to_utf8(ui::kCaptionSystem).c_str(), CONF_VERSION);
    std::fflush(stdout);
}

int usage_error(std::string_view program, std::string_view problem) {
    std::fprintf(stderr, "%.*s: %.*s (try '%.*s --help')\n", length_of(program), program.data(),
                 length_of(problem), problem.data(), length_of(program), program.data());
    std::fflush(stderr);
    return kUsageErrorStatus;
}

bool looks_like_option(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

}  // namespace conf::gnu
