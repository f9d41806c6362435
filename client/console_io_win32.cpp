// Windows: a console or pipe handle cannot be waited on together with a
// Winsock 1.1 socket, so a reader thread hands standard input over and the
// wait looks at both in short turns.
#ifdef _WIN32

#include "console_io.h"

#include <windows.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <thread>

namespace conf::console {
namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) { g_stop_requested = 1; }

constexpr int kTurnMs = 50;

// A console is read in UTF-16 and converted here: reading it as bytes in
// code page 65001 loses non-ASCII text on many Windows versions. Pipes and
// files carry UTF-8 as they are. False at the end of input, which on a
// console is a line starting with Ctrl+Z.
bool read_some_utf8(HANDLE input, std::string* chunk) {
    DWORD mode = 0;
    DWORD got = 0;
    if (::GetConsoleMode(input, &mode)) {
        wchar_t wide[1024];
        if (!::ReadConsoleW(input, wide, 1024, &got, nullptr) || got == 0 || wide[0] == L'\x1A') return false;
        const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(got), nullptr, 0, nullptr, nullptr);
        chunk->assign(static_cast<std::size_t>(length), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(got), &(*chunk)[0], length, nullptr, nullptr);
        return true;
    }
    char bytes[4096];
    if (!::ReadFile(input, bytes, sizeof bytes, &got, nullptr) || got == 0) return false;
    chunk->assign(bytes, got);
    return true;
}

}  // namespace

// Shared with the reader thread, which is never joined: it may sit in a
// read until the process ends.
struct ConsoleInput::State {
    std::mutex lock;
    std::string pending;
    bool ended = false;
};

void prepare_standard_streams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Only takes effect when a console is attached; pipes carry the bytes
    // as they are.
    ::SetConsoleOutputCP(CP_UTF8);
}

std::string argument_as_utf8(const char* argument) {
    const int wide_length = ::MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
    if (wide_length <= 0) return argument;
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, argument, -1, &wide[0], wide_length);
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return argument;
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], length, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length - 1));  // the NUL
    return utf8;
}

ConsoleInput::ConsoleInput() : state_(std::make_shared<State>()) {
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    std::thread([state = state_] {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        std::string chunk;
        while (read_some_utf8(input, &chunk)) {
            const std::lock_guard<std::mutex> guard(state->lock);
            state->pending += chunk;
        }
        const std::lock_guard<std::mutex> guard(state->lock);
        state->ended = true;
    }).detach();
}

ConsoleInput::~ConsoleInput() = default;

Wake ConsoleInput::wait(net::SocketHandle socket, std::string* input) {
    for (;;) {
        if (g_stop_requested != 0) return Wake::Stop;
        {
            const std::lock_guard<std::mutex> guard(state_->lock);
            if (!state_->pending.empty()) {
                input->append(state_->pending);
                state_->pending.clear();
                return Wake::Input;
            }
            if (state_->ended) return Wake::EndOfInput;
        }
        // A socket that has not sent yet is not bound, and select refuses
        // it; that only means nothing can have arrived.
        const net::WaitStatus socket_status =
            socket == net::kInvalidSocket ? net::WaitStatus::Failed : net::wait_readable(socket, kTurnMs);
        if (socket_status == net::WaitStatus::Readable) return Wake::Datagram;
        if (socket_status != net::WaitStatus::TimedOut)
            std::this_thread::sleep_for(std::chrono::milliseconds(kTurnMs));
    }
}

}  // namespace conf::console

#endif  // _WIN32
