// The option table shared by the benchmarks: what each kind of option takes,
// and that everything else ends as a one-line usage error with status 2.
#include "gnu_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using conf::gnu::Option;
using Kind = Option::Kind;

struct Parsed {
    double runs = 0;
    double port = 0;
    std::string name;
    bool quiet = false;
};

// Runs the parser on `arguments` (after the program name) with a small
// table; returns the status and what the options stored.
struct Outcome {
    int status = 0;
    Parsed parsed;
    std::string out;
    std::string err;
};

Outcome parse(std::vector<std::string> arguments) {
    Outcome run;
    Parsed& parsed = run.parsed;
    const std::vector<Option> table = {
        {"--runs", Kind::Number, 1, 100, {}, [&parsed](double n) { parsed.runs = n; }},
        {"--port", Kind::Port, 0, 0, {}, [&parsed](double n) { parsed.port = n; }},
        {"--name", Kind::Text, 0, 0, {}, {}, [&parsed](std::string_view value) -> std::string {
             if (value.empty()) return "--name needs a name";
             parsed.name = std::string(value);
             return {};
         }},
        {"--quiet", Kind::Flag, 0, 0, [&parsed] { parsed.quiet = true; }},
    };
    arguments.insert(arguments.begin(), "bench");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.status = conf::gnu::parse_options("bench", "Usage: bench [OPTION]...\n", table, static_cast<int>(argv.size()),
                                          argv.data());
    run.err = testing::internal::GetCapturedStderr();
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

TEST(GnuOptions, EachKindTakesItsValueSeparateOrAfterAnEqualsSign) {
    const Outcome run = parse({"--runs", "2.5", "--port=40000", "--name", "a b", "--quiet"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.parsed.runs, 2.5);
    EXPECT_EQ(run.parsed.port, 40000);
    EXPECT_EQ(run.parsed.name, "a b");
    EXPECT_TRUE(run.parsed.quiet);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(parse({"--runs=100", "--port", "1"}).status, -1);
}

TEST(GnuOptions, HelpAndVersionGoToStdoutAndEndParsing) {
    const Outcome help = parse({"--runs", "3", "--help", "--bogus"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "Usage: bench [OPTION]...\n");
    EXPECT_EQ(help.err, "");
    const Outcome version = parse({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("bench (", 0), 0u) << version.out;
}

TEST(GnuOptions, AnythingElseIsAOneLineUsageError) {
    const struct {
        std::vector<std::string> arguments;
        const char* problem;
    } cases[] = {
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"--runs=5x"}, "--runs needs a number from 1 to 100, not '5x'"},
        {{"--runs", "0"}, "--runs needs a number from 1 to 100, not '0'"},
        {{"--runs", "101"}, "--runs needs a number from 1 to 100, not '101'"},
        {{"--runs", "nan"}, "--runs needs a number from 1 to 100, not 'nan'"},
        {{"--runs", " 5"}, "--runs needs a number from 1 to 100, not ' 5'"},
        {{"--runs"}, "option '--runs' needs a value"},
        {{"--port", "0"}, "--port needs a port from 1 to 65535, not '0'"},
        {{"--port", "65536"}, "--port needs a port from 1 to 65535, not '65536'"},
        {{"--port", "4e4"}, "--port needs a port from 1 to 65535, not '4e4'"},
        {{"--name="}, "--name needs a name"},
        {{"--quiet=yes"}, "option '--quiet' takes no value"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--"}, "unrecognized option '--'"},
    };
    for (const auto& c : cases) {
        const Outcome run = parse(c.arguments);
        EXPECT_EQ(run.status, conf::gnu::kUsageErrorStatus) << c.problem;
        EXPECT_EQ(run.out, "") << c.problem;
        EXPECT_EQ(run.err, std::string("bench: ") + c.problem + " (try 'bench --help')\n");
    }
}

}  // namespace
