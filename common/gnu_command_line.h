// The command-line habits the native programs share with GNU tools, so that
// help2man can make their man pages from them and scripts can rely on them:
// --help and --version print to stdout and exit 0; a usage error is one line
// on stderr and exit status 2.
#pragma once

#include <string_view>

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

}  // namespace conf::gnu
