// confrelay: the conference relay without a window, for a Linux machine of
// the LAN (it also builds as a Windows console program).
//
//   confrelay PORT
//
// Reports go to stderr as "caption: text", each change of the participant
// count to stdout as "participants: N". SIGINT or SIGTERM stops it.
#include <csignal>
#include <cstdio>
#include <string>

#include "port_number.h"
#include "relay_server.h"
#include "text_codec.h"
#include "ui_texts.h"
#include "udp.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    if (argc != 2 || !conf::parse_port(argv[1], &port)) {
        std::fprintf(stderr, "%s\nusage: confrelay PORT\n", conf::cp932_for_terminal(conf::ui::kPortInvalid).c_str());
        return 2;
    }

    ConsoleRelayView view;
    conf::RelayServer relay(view);
    relay.initialise_networking();
    if (!relay.start(port)) return 1;
    install_stop_handlers();
    std::printf("listening on UDP port %u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    // One receive per readiness event, as the window gets one read event
    // per waiting datagram.
    while (g_stop_requested == 0 && relay.socket_open()) {
        const conf::net::WaitStatus status = conf::net::wait_readable(relay.socket(), 500);
        if (status == conf::net::WaitStatus::Readable) relay.on_socket_event(conf::kReadEvent);
        else if (status == conf::net::WaitStatus::Failed) break;
    }
    const bool broken = !relay.socket_open();
    relay.stop();
    return broken ? 1 : 0;
}
