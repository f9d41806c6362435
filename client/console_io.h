// The console client's side of its terminal: standard streams that carry
// UTF-8 on every platform, and one wait for whichever comes first of typed
// input, a datagram, the end of input and a stop request. One implementation
// file per platform.
#pragma once

#include <memory>
#include <string>

#include "udp.h"

namespace conf::console {

// Standard streams as raw UTF-8 bytes, without newline translation.
void prepare_standard_streams();

// A command-line argument as UTF-8 (Windows hands them over in the ANSI
// code page).
std::string argument_as_utf8(const char* argument);

enum class Wake {
    Input,       // bytes were appended to the caller's input
    Datagram,    // a datagram is waiting on the socket
    EndOfInput,  // standard input is closed
    Stop,        // SIGINT or SIGTERM
};

class ConsoleInput {
public:
    // Takes over SIGINT and SIGTERM (and on POSIX SIGPIPE, a reader of the
    // output that went away) for the life of the process: each is a stop
    // request.
    ConsoleInput();
    ~ConsoleInput();
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;

    // Waits for the first of the events above. `socket` may be
    // net::kInvalidSocket when there is no socket to watch.
    Wake wait(net::SocketHandle socket, std::string* input);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace conf::console
