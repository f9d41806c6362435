// Linux: one ppoll on standard input and the socket. The stop signals stay
// blocked except inside the wait, so that one arriving just before it is
// not missed.
#ifndef _WIN32

#include "console_io.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace conf::console {
namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) { g_stop_requested = 1; }

}  // namespace

struct ConsoleInput::State {
    sigset_t wait_mask;
};

void prepare_standard_streams() {}

std::string argument_as_utf8(const char* argument) { return argument; }

ConsoleInput::ConsoleInput() : state_(std::make_shared<State>()) {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Whoever read our output went away (`confchat ... | less` quit): leave
    // the room as on Ctrl+C, with the leave notice, rather than die on the
    // write and keep a place nobody uses.
    sigaction(SIGPIPE, &action, nullptr);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &state_->wait_mask);
    sigdelset(&state_->wait_mask, SIGINT);
    sigdelset(&state_->wait_mask, SIGTERM);
}

ConsoleInput::~ConsoleInput() = default;

Wake ConsoleInput::wait(net::SocketHandle socket, std::string* input) {
    for (;;) {
        if (g_stop_requested != 0) return Wake::Stop;
        pollfd watched[2] = {
            {STDIN_FILENO, POLLIN, 0},
            {socket == net::kInvalidSocket ? -1 : static_cast<int>(socket), POLLIN, 0},
        };
        if (::ppoll(watched, 2, nullptr, &state_->wait_mask) < 0) {
            if (errno == EINTR) continue;
            return Wake::EndOfInput;
        }
        if ((watched[1].revents & POLLIN) != 0) return Wake::Datagram;
        if (watched[0].revents != 0) {
            char chunk[4096];
            const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (got > 0) {
                input->append(chunk, static_cast<std::size_t>(got));
                return Wake::Input;
            }
            if (got < 0 && errno == EINTR) continue;
            return Wake::EndOfInput;
        }
    }
}

}  // namespace conf::console

#endif  // !_WIN32
