// What the console relay needs of the operating system beside its socket:
// signals, an append-only transcript file and a state file that is replaced
// whole. One implementation file per platform.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>

namespace conf::host {

// Set by the signal handlers; read and cleared by the relay's loop.
struct SignalFlags {
    volatile std::sig_atomic_t stop = 0;    // SIGINT, SIGTERM
    volatile std::sig_atomic_t reopen = 0;  // SIGHUP, where there is one
};

SignalFlags& signal_flags();

// Installed so that a signal also ends the wait for the next datagram.
void install_signal_handlers();

// A file that only grows. Each append is one write at the end of the file,
// so that records from before and after a rotation never interleave.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { close(); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Creates the file (readable by the owner's group, not by others) if it
    // does not exist. On failure `error` says why.
    bool open(const std::string& path, std::string* error);
    bool is_open() const { return handle_ != kClosed; }
    // Appends all of `bytes` or, as far as the system lets it, nothing: a
    // part written before a failure is taken back.
    bool append(std::string_view bytes, std::string* error);
    // Whether the open file has lost its last name (it was removed, not
    // renamed): what is written to it then reaches nobody.
    bool removed() const;
    void close();

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
};

enum class ReadStatus { Read, Missing, NotAFile, Failed };

// Reads a whole file of at most `limit` bytes; a longer one is Failed. A
// folder or a device is NotAFile.
ReadStatus read_file(const std::string& path, std::size_t limit, std::string* bytes, std::string* error);

// Reads at most the last `limit` bytes of a file (all of a smaller one),
// never more, however large the file has grown.
ReadStatus read_file_tail(const std::string& path, std::size_t limit, std::string* bytes, std::string* error);

// Replaces the file's content so that a crash at any moment leaves either the
// old content or the new, whole: a temporary file beside it is written and
// flushed to the disk, then renamed over it, and the rename made durable.
// Refuses to replace anything but a file.
bool replace_file(const std::string& path, std::string_view bytes, std::string* error);

// Renames without replacing an existing file.
bool rename_file(const std::string& from, const std::string& to, std::string* error);

}  // namespace conf::host
