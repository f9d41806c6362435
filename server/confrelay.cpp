// confrelay: the conference relay without a window, for a Linux machine of
// the LAN (it also builds as a Windows console program).
//
//   confrelay [--per-datagram] PORT
//
// Reports go to stderr as "caption: text", each change of the participant
// count to stdout as "participants: N". SIGINT or SIGTERM stops it.
//
// On Linux the relay takes every waiting datagram in one call and sends the
// resulting replies and broadcasts in large batches; --per-datagram keeps to
// one receive per read event, the window's way (the only way elsewhere).
// Both send the same datagrams in the same order.
#include <csignal>
#include <cstdio>
#include <string_view>

#include "batched_path.h"
#include "port_number.h"
#include "relay_server.h"
#include "text_codec.h"
#include "ui_texts.h"
#include "udp.h"

namespace {

// Room for a burst from every participant at once, many times over, so that
// input is not dropped at our own queue while a batch is being sent; and for
// a whole batch of broadcasts on its way to a slower interface.
constexpr int kReceiveQueueBytes = 8 << 20;
constexpr int kSendQueueBytes = 4 << 20;

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) { g_stop_requested = 1; }

void install_stop_handlers() {
#ifdef _WIN32
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
#else
    // No SA_RESTART: the wait for the next datagram must end on a signal.
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

class ConsoleRelayView final : public conf::RelayView {
public:
    void show_report(const char* text, const char* caption, conf::ReportOwner) override {
        std::fprintf(stderr, "%s: %s\n", conf::cp932_for_terminal(caption).c_str(),
                     conf::cp932_for_terminal(text).c_str());
        std::fflush(stderr);
    }
    void show_count(std::uint32_t count) override {
        std::printf("participants: %u\n", static_cast<unsigned>(count));
        std::fflush(stdout);
    }
    bool register_read_events(conf::net::SocketHandle socket) override {
        return conf::net::set_nonblocking(socket);
    }
};

struct CommandLine {
    std::uint16_t port = 0;
    bool per_datagram = false;
};

bool parse_command_line(int argc, char** argv, CommandLine* command) {
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--per-datagram") {
            command->per_datagram = true;
        } else if (!have_port && conf::parse_port(argument, &command->port)) {
            have_port = true;
        } else {
            return false;
        }
    }
    return have_port;
}

// One receive per readiness event, as the window gets one read event per
// waiting datagram.
void serve_per_datagram(conf::RelayServer& relay) {
    while (g_stop_requested == 0 && relay.socket_open()) {
        const conf::net::WaitStatus status = conf::net::wait_readable(relay.socket(), 500);
        if (status == conf::net::WaitStatus::Readable) relay.on_socket_event(conf::kReadEvent);
        else if (status == conf::net::WaitStatus::Failed) break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine command;
    if (!parse_command_line(argc, argv, &command)) {
        std::fprintf(stderr, "%s\nusage: confrelay [--per-datagram] PORT\n",
                     conf::cp932_for_terminal(conf::ui::kPortInvalid).c_str());
        return 2;
    }

    ConsoleRelayView view;
    conf::RelayServer relay(view);
    relay.initialise_networking();
    if (!relay.start(command.port)) return 1;
    conf::net::set_buffer_sizes(relay.socket(), kReceiveQueueBytes, kSendQueueBytes);
    install_stop_handlers();
    std::printf("listening on UDP port %u\n", static_cast<unsigned>(command.port));
    std::fflush(stdout);

    if (conf::batched_path_available() && !command.per_datagram) {
        conf::serve_batched(relay, g_stop_requested);
    } else {
        serve_per_datagram(relay);
    }
    const bool broken = !relay.socket_open();
    relay.stop();
    return broken ? 1 : 0;
}
