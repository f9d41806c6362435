// confrelay: the conference relay without a window, for a Linux machine of
// the LAN (it also builds as a Windows console program).
//
//   confrelay [--per-datagram] [--members-only] [--free-unreachable]
//             [--forget-after DURATION] [--history N] [--roster]
//             [--transcript FILE] [--state FILE] PORT
//
// Reports go to stderr as "caption: text" (the window's) or "confrelay: text"
// (the service's own), the participant count to stdout as "participants: N"
// (at most once a second, the last count always). SIGINT or SIGTERM stops it; SIGHUP reopens the
// transcript.
//
// On Linux the relay takes every waiting datagram in one call and sends the
// resulting replies and broadcasts in large batches; --per-datagram keeps to
// one receive per read event, the window's way (the only way elsewhere).
// Both send the same datagrams in the same order.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include "batched_path.h"
#include "gnu_command_line.h"
#include "port_number.h"
#include "relay_host.h"
#include "relay_server.h"
#include "relay_service.h"
#include "room_history.h"
#include "text_codec.h"
#include "ui_texts.h"
#include "udp.h"
#include "windows_service.h"

namespace {

// Room for a burst from every participant at once, many times over, so that
// input is not dropped at our own queue while a batch is being sent; and for
// a whole batch of broadcasts on its way to a slower interface.
constexpr int kReceiveQueueBytes = 8 << 20;
constexpr int kSendQueueBytes = 4 << 20;

class ConsoleRelayView final : public conf::RelayView {
public:
    void show_report(const char* text, const char* caption, conf::ReportOwner) override {
        std::fprintf(stderr, "%s: %s\n", conf::cp932_for_terminal(caption).c_str(),
                     conf::cp932_for_terminal(text).c_str());
        std::fflush(stderr);
    }
    void show_count(std::uint32_t count) override { count_line_.changed(count); }
    // Prints a count held back by the once-a-second limit; at the end, at once.
    void flush_count(bool at_end) { count_line_.tick(at_end); }
    bool register_read_events(conf::net::SocketHandle socket) override {
        return conf::net::set_nonblocking(socket);
    }

private:
    // A burst of logins and leaves must not flood the output (and whoever
    // reads it) with a line per change.
    conf::CoalescedCount count_line_{conf::system_relay_clock(), [](std::uint32_t count) {
                                         std::printf("participants: %u\n", static_cast<unsigned>(count));
                                         std::fflush(stdout);
                                     }};
};

constexpr char kUsage[] =
    "Usage: confrelay [--per-datagram] [--members-only] [--free-unreachable]\n"
    "                 [--forget-after DURATION] [--history N] [--roster]\n"
    "                 [--transcript FILE] [--state FILE] PORT\n";

// Laid out for help2man, which builds the manual page confrelay(8) from it.
constexpr char kHelpBody[] =
    "Relay a Tavilo conference on UDP PORT: answer login requests and pass every line\n"
    "to everyone who has logged in, as the conference server window does.\n"
    "\n"
    "Options:\n"
    "  --per-datagram     receive one datagram at a time, as the window does,\n"
    "                     instead of taking every waiting datagram at once (Linux)\n"
    "  --members-only     take chat lines and leave notices only from a sender\n"
    "                     (address and port) that holds a place, a leave notice\n"
    "                     freeing only that sender's own place; count the rest,\n"
    "                     report them on standard error at most once a minute and\n"
    "                     tell their sender (once per address per 10 seconds) to\n"
    "                     join again; a login from a sender that holds a place\n"
    "                     takes that place again under the new name\n"
    "  --free-unreachable free the place of a sender whose datagrams keep\n"
    "                     bouncing (at least 3 ICMP port or host unreachable over\n"
    "                     at least 10 seconds, nothing heard from it meanwhile),\n"
    "                     announcing its exit (Linux)\n"
    "  --forget-after DURATION\n"
    "                     free the place of a sender not heard for DURATION (a\n"
    "                     number with s, m, h or d: 90s, 12h), announcing its\n"
    "                     exit; the packaged service uses 12h\n"
    "  --history N        send a newcomer the last N lines the room heard (0 to\n"
    "                     500, default 0), each stamped [HH:MM] with the time it\n"
    "                     was heard; with --transcript they survive a restart.\n"
    "                     They leave in one burst, which a client with a small\n"
    "                     receive queue cuts short (confchat and confweb ask\n"
    "                     the system for a queue of 1 MiB)\n"
    "  --roster           send a newcomer the names of everyone who holds a place\n"
    "  --transcript FILE  append every line the room hears to FILE, one JSON\n"
    "                     object per line: time (local, RFC 3339), kind (entry,\n"
    "                     first, line or exit), from (the sender's address:port),\n"
    "                     member (the name the sender holds a place under, or\n"
    "                     null), text (UTF-8) and, for an exit the relay made\n"
    "                     itself, reason (silent or unreachable)\n"
    "  --state FILE       keep the participant table in FILE and load it at start,\n"
    "                     so that a restarted relay carries on with the same room;\n"
    "                     a login is answered once its place is in FILE\n"
    "  --help             display this help and exit\n"
    "  --version          output version information and exit\n"
    "\n"
    "The relay writes \"participants: N\" to standard output when the number of\n"
    "participants changes, at most once a second and always the last number (with\n"
    "--state, first the number restored from FILE), and its reports to standard\n"
    "error. SIGINT or SIGTERM stops it; SIGHUP reopens the transcript file, for\n"
    "log rotation. Exit status: 0 after a stop, 1 when the\n"
    "port cannot be opened or serving it fails, 2 for a usage error.\n";

struct CommandLine {
    std::uint16_t port = 0;
    bool per_datagram = false;
    conf::ServiceOptions service;
};

enum class Request { Serve, Help, Version };

[[noreturn]] void usage_error(const std::string& what) { std::exit(conf::gnu::usage_error("confrelay", what)); }

// Accepts "--option VALUE" and "--option=VALUE".
bool take_value(std::string_view argument, std::string_view option, int argc, char** argv, int* index,
                std::string* value, const char* what = "a FILE") {
    if (argument == option) {
        if (*index + 1 >= argc) usage_error("option '" + std::string(option) + "' requires " + what);
        *value = argv[++*index];
    } else if (argument.size() > option.size() && argument.substr(0, option.size()) == option &&
               argument[option.size()] == '=') {
        *value = std::string(argument.substr(option.size() + 1));
    } else {
        return false;
    }
    if (value->empty()) usage_error("option '" + std::string(option) + "' requires " + what);
    return true;
}

// The options that take something else than a file.
bool take_rule(std::string_view argument, int argc, char** argv, int* index, conf::ServiceOptions* service) {
    std::string value;
    if (take_value(argument, "--forget-after", argc, argv, index, &value, "a DURATION such as 90s or 12h")) {
        if (!conf::parse_duration(value, &service->forget_after))
            usage_error("invalid duration '" + value + "' (a number with s, m, h or d, at most 366d)");
        return true;
    }
    if (take_value(argument, "--history", argc, argv, index, &value, "a number of lines")) {
        if (!conf::parse_count(value, conf::RoomHistory::kLargest, &service->history))
            usage_error("invalid number of history lines '" + value + "' (0 to 500)");
        return true;
    }
    return false;
}

Request parse_command_line(int argc, char** argv, CommandLine* command) {
    std::string_view port_text;
    bool have_port = false;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        // "-1" is a mistyped port, not an option.
        const bool is_option = !options_ended && argument.size() > 1 && argument[0] == '-' &&
                               (argument[1] < '0' || argument[1] > '9');
        if (is_option) {
            if (argument == "--") {
                options_ended = true;
            } else if (argument == "--help") {
                return Request::Help;
            } else if (argument == "--version") {
                return Request::Version;
            } else if (argument == "--per-datagram") {
                command->per_datagram = true;
            } else if (argument == "--members-only") {
                command->service.members_only = true;
            } else if (argument == "--roster") {
                command->service.roster = true;
            } else if (argument == "--free-unreachable") {
                command->service.free_unreachable = true;
            } else if (!take_rule(argument, argc, argv, &i, &command->service) && !take_value(argument, "--transcript", argc, argv, &i, &command->service.transcript_path) &&
                       !take_value(argument, "--state", argc, argv, &i, &command->service.state_path)) {
                usage_error("unrecognized option '" + std::string(argument) + "'");
            }
        } else if (have_port) {
            usage_error("extra operand '" + std::string(argument) + "'");
        } else {
            port_text = argument;
            have_port = true;
        }
    }
    if (!have_port) usage_error("missing PORT");
    if (!conf::parse_port(port_text, &command->port)) {
        usage_error("'" + std::string(port_text) + "': " + conf::cp932_for_terminal(conf::ui::kPortInvalid));
    }
    return Request::Serve;
}

void report(const std::string& text) {
    std::fprintf(stderr, "confrelay: %s\n", text.c_str());
    std::fflush(stderr);
}

// One receive per readiness event, as the window gets one read event per
// waiting datagram.
void serve_per_datagram(conf::RelayServer& relay, const std::function<void()>& tick) {
    const volatile std::sig_atomic_t& stop_requested = conf::host::signal_flags().stop;
    while (stop_requested == 0 && relay.socket_open()) {
        const conf::net::WaitStatus status = conf::net::wait_readable(relay.socket(), 500);
        if (status == conf::net::WaitStatus::Readable) relay.on_socket_event(conf::kReadEvent);
        else if (status == conf::net::WaitStatus::Failed) break;
        relay.take_delivery_errors();
        tick();
    }
}

}  // namespace

static int relay_main(int argc, char** argv) {
    CommandLine command;
    switch (parse_command_line(argc, argv, &command)) {
    case Request::Help:
        std::fputs(kUsage, stdout);
        std::fputs(kHelpBody, stdout);
        return 0;
    case Request::Version:
        conf::gnu::print_version("confrelay");
        return 0;
    case Request::Serve:
        break;
    }
    conf::host::install_signal_handlers();
    ConsoleRelayView view;
    conf::RelayServer relay(view);
    conf::RelayService service(relay, command.service, report);
    // With a state file the first line on stdout is the count restored.
    service.begin();
    relay.initialise_networking();
    if (!relay.start(command.port)) {
        // The window's report says only that binding failed; an administrator
        // needs to know which port and why.
        if (const char* why = conf::net::last_bind_error()) report("port " + std::to_string(command.port) + ": " + why);
        return 1;
    }
    if (!service.watch_unreachable()) {
        relay.stop();
        return conf::gnu::usage_error("confrelay", "option '--free-unreachable' is not available on this system");
    }
    const conf::net::BufferSizes sizes =
        conf::net::set_buffer_sizes(relay.socket(), kReceiveQueueBytes, kSendQueueBytes);
    if (sizes.capped) {
        report("socket buffers of " + std::to_string(sizes.receive_bytes) + " bytes (receive) and " +
               std::to_string(sizes.send_bytes) + " bytes (send), capped by net.core.rmem_max and wmem_max");
    }
    std::printf("listening on UDP port %u\n", static_cast<unsigned>(command.port));
    std::fflush(stdout);

    const auto tick = [&service, &view] {
        service.tick();
        view.flush_count(false);
    };
    if (conf::batched_path_available() && !command.per_datagram) {
        conf::serve_batched(relay, conf::host::signal_flags().stop, tick);
    } else {
        serve_per_datagram(relay, tick);
    }
    // A failed socket was reported by the relay; a wait that failed leaves
    // the socket open. Either way the status must tell a service manager
    // that the relay did not stop because it was asked to.
    const bool asked_to_stop = conf::host::signal_flags().stop != 0;
    const bool broken = !relay.socket_open();
    if (!asked_to_stop && !broken) report("waiting for datagrams failed; the relay stops");
    relay.stop();
    service.finish();
    view.flush_count(true);
    return broken || !asked_to_stop ? 1 : 0;
}

int main(int argc, char** argv) {
    int status = 0;
    if (conf::service::run_if_requested(argc, argv, relay_main, &status)) return status;
    return relay_main(argc, argv);
}
