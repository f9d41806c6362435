// The command-line habits the native programs share with GNU tools, so that
// help2man can make their man pages from them and scripts can rely on them:
// --help and --version print to stdout and exit 0; a usage error is one line
// on stderr and exit status 2.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

namespace conf::gnu {

constexpr int kUsageErrorStatus = 2;

// "PROGRAM (Tavilo会議システム) VERSION", the first line help2man reads,
// then the copyright, in UTF-8 (the native programs' streams are UTF-8 on
// every platform).
void print_version(std::string_view program);

// Prints "PROGRAM: PROBLEM (try 'PROGRAM --help')" as one line on stderr
// and returns kUsageErrorStatus for main to return.
int usage_error(std::string_view program, std::string_view problem);

// Whether an argument is an option rather than an operand: it starts with
// '-' and is not "-" alone (the usual name of standard input).
bool looks_like_option(std::string_view argument);

// One option of a program's table, for parse_options. Each takes its value
// as "--name VALUE" or "--name=VALUE", except a flag, which takes none.
struct Option {
    enum class Kind {
        Flag,    // `flag()`
        Number,  // a decimal number from `low` to `high`, to `number(value)`
        Port,    // a port from 1 to 65535, to `number(value)`
        Text,    // any text to `text(value)`, which may refuse it with a
                 // problem for the usage error, else returns ""
    };
    std::string_view name;
    Kind kind = Kind::Flag;
    double low = 0;
    double high = 0;
    std::function<void()> flag = {};
    std::function<void(double)> number = {};
    std::function<std::string(std::string_view)> text = {};
};

// Parses a command line of options only, by the table: --help prints `help`
// and --version the version, both to stdout; anything else not in the table,
// a missing value or one out of range is a usage error. Returns -1 when the
// program goes on, else the exit status for main.
int parse_options(std::string_view program, std::string_view help, const std::vector<Option>& table, int argc,
                  char** argv);

}  // namespace conf::gnu
