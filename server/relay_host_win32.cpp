// Windows signals and files. Windows has no SIGHUP: a transcript there is
// rotated by stopping the relay.
#ifdef _WIN32

#include "relay_host.h"

#include <windows.h>

#include <cstdio>

namespace conf::host {
namespace {

SignalFlags g_flags;

extern "C" void on_stop_signal(int) { g_flags.stop = 1; }

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string describe(const std::string& what, DWORD error_code) {
    char code[32];
    std::snprintf(code, sizeof code, "%lu", static_cast<unsigned long>(error_code));
    return what + ": Windows error " + code;
}

bool write_fully(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

SignalFlags& signal_flags() { return g_flags; }

void install_signal_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}

bool AppendFile::open(const std::string& path, std::string* error) {
    close();
    // Others may read the transcript while we write, but not delete or
    // rename it, Windows' own default: a file deleted while open would take
    // every later record with it when it is closed.
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = describe("cannot open", ::GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool AppendFile::append(std::string_view bytes, std::string* error) {
    if (!is_open()) {
        *error = "not open";
        return false;
    }
    DWORD written = 0;
    if (::WriteFile(handle_of(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size())
        return true;
    const DWORD error_code = ::GetLastError();
    *error = describe("cannot write", error_code);
    if (written > 0) *error += " (part of a record stays in the file)";
    return false;
}

bool AppendFile::removed() const {
    // Windows refuses the deletion (see open); a file system shared with
    // another system (Wine's, say) may still lose the name underneath.
    BY_HANDLE_FILE_INFORMATION information{};
    return is_open() && ::GetFileInformationByHandle(handle_of(handle_), &information) &&
           information.nNumberOfLinks == 0;
}

void AppendFile::close() {
    if (!is_open()) return;
    ::CloseHandle(handle_of(handle_));
    handle_ = kClosed;
}

namespace {

bool is_folder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

ReadStatus open_for_reading(const std::string& path, DWORD share, HANDLE* file, std::string* error) {
    if (is_folder(path)) {
        *error = "not a file";
        return ReadStatus::NotAFile;
    }
    *file = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*file != INVALID_HANDLE_VALUE) return ReadStatus::Read;
    const DWORD error_code = ::GetLastError();
    if (error_code == ERROR_FILE_NOT_FOUND) return ReadStatus::Missing;
    *error = describe("cannot open", error_code);
    return ReadStatus::Failed;
}

// Reads to the end or until more than `limit` bytes are in `content`, and
// closes the file.
bool read_and_close(HANDLE file, std::size_t limit, std::string* content, std::string* error) {
    char chunk[4096];
    while (content->size() <= limit) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            *error = describe("cannot read", ::GetLastError());
            ::CloseHandle(file);
            return false;
        }
        if (got == 0) break;
        content->append(chunk, got);
    }
    ::CloseHandle(file);
    return true;
}

}  // namespace

ReadStatus read_file(const std::string& path, std::size_t limit, std::string* bytes, std::string* error) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (const ReadStatus opened = open_for_reading(path, FILE_SHARE_READ, &file, error); opened != ReadStatus::Read)
        return opened;
    std::string content;
    if (!read_and_close(file, limit, &content, error)) return ReadStatus::Failed;
    if (content.size() > limit) {
        *error = "larger than expected";
        return ReadStatus::Failed;
    }
    *bytes = std::move(content);
    return ReadStatus::Read;
}

ReadStatus read_file_tail(const std::string& path, std::size_t limit, std::string* bytes, std::string* error) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (const ReadStatus opened = open_for_reading(path, FILE_SHARE_READ | FILE_SHARE_WRITE, &file, error);
        opened != ReadStatus::Read)
        return opened;
    LARGE_INTEGER size{};
    bool positioned = ::GetFileSizeEx(file, &size) != 0;
    if (positioned) {
        const auto total = static_cast<unsigned long long>(size.QuadPart);
        LARGE_INTEGER start{};
        start.QuadPart = static_cast<LONGLONG>(total > limit ? total - limit : 0);
        positioned = ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
    }
    if (!positioned) {
        *error = describe("cannot read", ::GetLastError());
        ::CloseHandle(file);
        return ReadStatus::Failed;
    }
    std::string content;
    if (!read_and_close(file, limit, &content, error)) return ReadStatus::Failed;
    if (content.size() > limit) content.resize(limit);
    *bytes = std::move(content);
    return ReadStatus::Read;
}

bool replace_file(const std::string& path, std::string_view bytes, std::string* error) {
    if (is_folder(path)) {
        *error = "not a file";
        return false;
    }
    const std::string temporary = path + ".tmp";
    const HANDLE file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = describe("cannot create " + temporary, ::GetLastError());
        return false;
    }
    const bool written = write_fully(file, bytes) && ::FlushFileBuffers(file);
    const DWORD error_code = ::GetLastError();
    ::CloseHandle(file);
    if (!written) {
        *error = describe("cannot write " + temporary, error_code);
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    // Write-through: the rename is on the disk when the call returns.
    if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = describe("cannot rename " + temporary + " over it", ::GetLastError());
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

bool rename_file(const std::string& from, const std::string& to, std::string* error) {
    if (!::MoveFileExA(from.c_str(), to.c_str(), 0)) {
        *error = describe("cannot rename it to " + to, ::GetLastError());
        return false;
    }
    return true;
}

}  // namespace conf::host

#endif  // _WIN32
