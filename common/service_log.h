// The log file of a program that runs as a Windows service, where there is
// no console to write to: what the program prints, line by line, each line
// stamped with the time it was written.
//
// What reaches the log can come from the network (names, addresses), so a
// line is made harmless for whoever views the file: control characters show
// as '?', and a line longer than kMaxLineBytes continues on the next. The
// file is bounded: when a line would take it past its limit it is renamed to
// FILE.old (replacing the previous one) and begun again, so that a flood of
// reports keeps at most about twice the limit on the disk.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace conf::service {

class ServiceLog {
public:
    static constexpr std::size_t kMaxLineBytes = 1024;

    // `stamp` gives the text put before each line (the local time).
    ServiceLog(std::string path, std::size_t limit_bytes, std::function<std::string()> stamp);
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // Opens the file for appending, creating it. On failure `error` says why.
    bool open(std::string* error);
    // Takes output in pieces of any size; each complete line is written at
    // once, and so is a line that reaches kMaxLineBytes.
    void take(std::string_view bytes);
    // Writes what is left of an unfinished line, at the end.
    void finish();

private:
    void write_line();
    void begin_again();

    std::string path_;
    std::size_t limit_bytes_;
    std::function<std::string()> stamp_;
    std::FILE* file_ = nullptr;
    std::size_t size_ = 0;
    std::string line_;
};

// The local time as "YYYY-MM-DD HH:MM:SS ".
std::string local_time_stamp();

}  // namespace conf::service
