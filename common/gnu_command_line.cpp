#include "gnu_command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

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

namespace {

bool parse_number(const std::string& text, double low, double high, double* value) {
    if (text.empty() || text.find_first_of(" \t\n") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
    *value = parsed;
    return true;
}

std::string range_text(double low, double high) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", low, high);
    return range;
}

// The problem with `value` for `option`, or "" when it was taken.
std::string take_value(const Option& option, const std::string& value) {
    const std::string name(option.name);
    double number = 0;
    switch (option.kind) {
    case Option::Kind::Number:
        if (!parse_number(value, option.low, option.high, &number))
            return name + " needs a number from " + range_text(option.low, option.high) + ", not '" + value + "'";
        option.number(number);
        return {};
    case Option::Kind::Port:
        if (value.find_first_not_of("0123456789") != std::string::npos || !parse_number(value, 1, 65535, &number))
            return name + " needs a port from 1 to 65535, not '" + value + "'";
        option.number(number);
        return {};
    case Option::Kind::Text:
        return option.text(value);
    case Option::Kind::Flag:
        break;
    }
    return "option '" + name + "' takes no value";
}

}  // namespace

int parse_options(std::string_view program, std::string_view help, const std::vector<Option>& table, int argc,
                  char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            std::fwrite(help.data(), 1, help.size(), stdout);
            std::fflush(stdout);
            return 0;
        }
        if (argument == "--version") {
            print_version(program);
            return 0;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const Option* option = nullptr;
        if (looks_like_option(argument) && name.size() > 2)
            for (const Option& candidate : table)
                if (candidate.name == name) option = &candidate;
        if (option == nullptr) {
            return usage_error(program, looks_like_option(argument) ? "unrecognized option '" + name + "'"
                                                                   : "unexpected argument '" + argument + "'");
        }
        if (option->kind == Option::Kind::Flag) {
            if (equals != std::string::npos) return usage_error(program, "option '" + name + "' takes no value");
            option->flag();
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usage_error(program, "option '" + name + "' needs a value");
        }
        if (const std::string problem = take_value(*option, value); !problem.empty())
            return usage_error(program, problem);
    }
    return -1;
}

}  // namespace conf::gnu
