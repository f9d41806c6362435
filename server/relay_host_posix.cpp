// POSIX signals and files (Linux).
#ifndef _WIN32

#include "relay_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace conf::host {
namespace {

// The transcript and the state are the room's record: the group of the
// service may read them, nobody else.
constexpr mode_t kFileMode = 0640;

SignalFlags g_flags;

extern "C" void on_stop_signal(int) { g_flags.stop = 1; }
extern "C" void on_reopen_signal(int) { g_flags.reopen = 1; }

void catch_signal(int number, void (*handler)(int)) {
    // No SA_RESTART: the wait for the next datagram must end on a signal.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
}

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

std::string describe(const std::string& what, int error_number) { return what + ": " + std::strerror(error_number); }

bool write_fully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

SignalFlags& signal_flags() { return g_flags; }

void install_signal_handlers() {
    catch_signal(SIGINT, on_stop_signal);
    catch_signal(SIGTERM, on_stop_signal);
    // The usual request to reopen log files after a rotation; harmless
    // without a transcript.
    catch_signal(SIGHUP, on_reopen_signal);
    // A transcript or state file at the process's file size limit must fail
    // its write (EFBIG), to be reported and counted like a full disk's, not
    // end the relay.
    catch_signal(SIGXFSZ, SIG_IGN);
    // A reader of stdout or stderr that went away must cost that output
    // only, not the room.
    catch_signal(SIGPIPE, SIG_IGN);
}

bool AppendFile::open(const std::string& path, std::string* error) {
    close();
    // Non-blocking, for a FIFO given as the transcript: without a reader the
    // open fails (ENXIO) instead of waiting for one, and a reader that stops
    // reading costs records, reported, rather than the room. A file ignores it.
    // Never through a symbolic link: whoever may write the folder must not
    // make the relay append to another file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kFileMode);
    if (fd < 0) {
        *error = describe("cannot open", errno);
        return false;
    }
    handle_ = fd;
    return true;
}

bool AppendFile::append(std::string_view bytes, std::string* error) {
    if (!is_open()) {
        *error = "not open";
        return false;
    }
    const int fd = fd_of(handle_);
    ssize_t written;
    do {
        written = ::write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(bytes.size())) return true;
    if (written < 0) {
        *error = describe("cannot write", errno);
        return false;
    }
    // A full disk may take only the start of a record: cut it off again, so
    // that the next record starts on a line of its own.
    *error = "only part of a record could be written; the disk may be full or the file at its size limit";
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < written || ::ftruncate(fd, end - written) != 0) *error += " (and the part stays in the file)";
    return false;
}

bool AppendFile::removed() const {
    struct stat status {};
    return is_open() && ::fstat(fd_of(handle_), &status) == 0 && status.st_nlink == 0;
}

void AppendFile::close() {
    if (!is_open()) return;
    ::close(fd_of(handle_));
    handle_ = kClosed;
}

ReadStatus read_file(const std::string& path, std::size_t limit, std::string* bytes, std::string* error) {
    // Non-blocking, so that a FIFO does not wait for a writer before it is
    // found not to be a file; a file's reads ignore it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return ReadStatus::Missing;
        *error = describe("cannot open", errno);
        return ReadStatus::Failed;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
        ::close(fd);
        *error = "not a file";
        return ReadStatus::NotAFile;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = describe("cannot read", errno);
            ::close(fd);
            return ReadStatus::Failed;
        }
        if (got == 0) break;
        content.append(chunk, static_cast<std::size_t>(got));
        if (content.size() > limit) {
            *error = "larger than expected";
            ::close(fd);
            return ReadStatus::Failed;
        }
    }
    ::close(fd);
    *bytes = std::move(content);
    return ReadStatus::Read;
}

ReadStatus read_file_tail(const std::string& path, std::size_t limit, std::string* bytes, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return ReadStatus::Missing;
        *error = describe("cannot open", errno);
        return ReadStatus::Failed;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *error = "not a file";
        return ReadStatus::NotAFile;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::uint64_t start = size > limit ? size - limit : 0;
    std::string content(static_cast<std::size_t>(size - start), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t got = ::pread(fd, &content[filled], content.size() - filled,
                                    static_cast<off_t>(start + filled));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = describe("cannot read", errno);
            ::close(fd);
            return ReadStatus::Failed;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    content.resize(filled);
    *bytes = std::move(content);
    return ReadStatus::Read;
}

bool replace_file(const std::string& path, std::string_view bytes, std::string* error) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        *error = "not a file";
        return false;
    }
    const std::string temporary = path + ".tmp";
    // A fresh file of our own: a link planted at the temporary name is
    // removed, not followed, and one planted again in between fails the save.
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        *error = describe("cannot create " + temporary, errno);
        return false;
    }
    if (!write_fully(fd, bytes) || ::fsync(fd) != 0) {
        *error = describe("cannot write " + temporary, errno);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        *error = describe("cannot write " + temporary, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = describe("cannot rename " + temporary + " over it", errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is only durable once the folder is.
    const std::string folder = folder_of(path);
    const int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0 || ::fsync(folder_fd) != 0) {
        *error = describe("cannot flush its folder " + folder, errno);
        if (folder_fd >= 0) ::close(folder_fd);
        return false;
    }
    ::close(folder_fd);
    return true;
}

bool rename_file(const std::string& from, const std::string& to, std::string* error) {
    struct stat existing {};
    if (::stat(to.c_str(), &existing) == 0) {
        *error = to + " already exists";
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        *error = describe("cannot rename it to " + to, errno);
        return false;
    }
    return true;
}

}  // namespace conf::host

#endif  // !_WIN32
