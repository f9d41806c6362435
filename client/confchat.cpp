// confchat: a conference participant without a window, for a Linux machine
// of the LAN (it also builds as a Windows console program).
//
//   confchat HOST PORT NAME
//   confchat --help | --version
//
// Every line typed on standard input (UTF-8) goes out as the client window
// would send it, the first as the login request. Every datagram received is
// printed on standard output in UTF-8, one line each. Reports go to standard
// error as "Error: text". After a capacity refusal the next typed line joins
// again before it is sent. End of input, SIGINT or SIGTERM leaves the
// conference (with the leave notice once logged in) and ends the program.
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "client_core.h"
#include "console_io.h"
#include "gnu_command_line.h"
#include "port_number.h"
#include "protocol.h"
#include "text_codec.h"

namespace {

// Room for a late joiner's catch-up of 500 lines of up to 1023 bytes, with
// the system's own cost per datagram; it may grant less.
constexpr int kReceiveQueueBytes = 1 << 20;

void write_out(std::FILE* stream, std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

// What the room sends, as it may reach a terminal: control characters would
// drive it (a window title, a cleared screen, a line written over), so they
// are shown in caret notation (ESC as ^[, DEL as ^?) and C1 controls as <9B>.
// A line break (CR LF, or LF) stays a line break and a tab a tab.
std::string visible_controls(std::string_view utf8) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
        if (byte == '\n' || byte == '\t') {
            shown += static_cast<char>(byte);
        } else if (byte < 0x20) {
            shown += '^';
            shown += static_cast<char>(byte + 0x40);
        } else if (byte == 0x7F) {
            shown += "^?";
        } else if (byte == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            const auto code = static_cast<unsigned char>(utf8[++i]);
            shown += '<';
            shown += kHex[code >> 4];
            shown += kHex[code & 0xF];
            shown += '>';
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

// The window's fields kept in memory: name, server and port from the
// command line, the input from the line just typed. The log "field" prints
// whatever was added to it since it last scrolled.
class ConsoleClientView final : public conf::ClientView {
public:
    ConsoleClientView(std::string server, std::string port, std::string name) {
        fields_[IDC_SERVER] = std::move(server);
        fields_[IDC_PORT] = std::move(port);
        fields_[IDC_NAME] = std::move(name);
    }

    std::string field_text(int control, std::size_t max_bytes) override {
        return fields_[control].substr(0, max_bytes);
    }
    bool field_unsigned(int control, std::uint32_t* value) override {
        return conf::parse_unsigned_decimal(fields_[control], value);
    }
    void set_field_text(int control, const char* text) override {
        fields_[control] = text;
        if (control == IDC_LOG && printed_ > fields_[control].size()) printed_ = 0;
    }
    void enable_control(int, bool) override {}
    void set_read_only(int, bool) override {}
    void focus_control(int) override {}
    int line_count(int control) override {
        int lines = 1;
        for (const char c : fields_[control]) lines += c == '\n' ? 1 : 0;
        return lines;
    }
    void scroll_lines(int control, int) override {
        const std::string& log = fields_[control];
        const std::string fresh = conf::cp932_to_utf8(std::string_view(log).substr(printed_));
        printed_ = log.size();
        write_out(stdout, visible_controls(fresh));
    }
    void show_report(const char* text, const char* caption) override {
        write_out(stderr, conf::cp932_to_utf8(caption) + ": " + conf::cp932_to_utf8(text) + "\n");
    }
    bool register_socket_events(conf::net::SocketHandle socket) override {
        // A relay that keeps the room's history sends a late joiner up to
        // 500 lines in one burst, before this loop reads the first: the
        // system's default queue holds a few hundred small datagrams.
        conf::net::set_buffer_sizes(socket, kReceiveQueueBytes, 0);
        return conf::net::set_nonblocking(socket);
    }

private:
    std::map<int, std::string> fields_;
    std::size_t printed_ = 0;
};

void send_typed_line(std::string_view typed, ConsoleClientView& view, conf::ClientCore& core) {
    if (!typed.empty() && typed.back() == '\r') typed.remove_suffix(1);
    std::string line;
    if (!conf::utf8_to_cp932(typed, &line)) {
        write_out(stderr, "confchat: not sent: the line is not UTF-8 or has a character that code page 932 "
                          "cannot encode\n");
        return;
    }
    if (!core.joined()) {
        core.join();
        if (!core.joined()) return;
    }
    view.set_field_text(IDC_INPUT, line.c_str());
    core.send();
}

void send_complete_lines(std::string* pending, ConsoleClientView& view, conf::ClientCore& core) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending->find('\n', start)) != std::string::npos; start = end + 1)
        send_typed_line(std::string_view(*pending).substr(start, end - start), view, core);
    pending->erase(0, start);
}

// What help2man turns into the man page, so kept in its layout.
constexpr char kHelp[] =
    "Usage: confchat HOST PORT NAME\n"
    "Take part in the Tavilo conference whose relay listens on HOST (a name or an\n"
    "IPv4 address) at UDP port PORT, as NAME, from a terminal.\n"
    "\n"
    "Every line typed on standard input (UTF-8) is sent in code page 932, the\n"
    "first as the login request. Every line the room hears is printed on standard\n"
    "output in UTF-8; reports go to standard error. When the room is full, the next\n"
    "line typed tries to join again. End of input, SIGINT (Ctrl+C) or SIGTERM\n"
    "leaves the conference.\n"
    "\n"
    "      --help      display this help and exit\n"
    "      --version   output version information and exit\n"
    "\n"
    "Exit status:\n"
    " 0  left the conference\n"
    " 1  the conference could not be joined (bad port, unknown host, no socket)\n"
    " 2  a usage error\n";

struct CommandLine {
    std::string host, port, name;
};

// Returns -1 to go on with `command`, else the exit status for main.
int parse_command_line(int argc, char** argv, CommandLine* command) {
    std::vector<std::string> operands;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_end || !conf::gnu::looks_like_option(argument)) {
            operands.emplace_back(argument);
        } else if (argument == "--") {
            options_end = true;
        } else if (argument == "--help") {
            write_out(stdout, kHelp);
            return 0;
        } else if (argument == "--version") {
            conf::gnu::print_version("confchat");
            return 0;
        } else {
            return conf::gnu::usage_error("confchat", "unrecognized option '" + std::string(argument) + "'");
        }
    }
    if (operands.size() != 3) return conf::gnu::usage_error("confchat", "expected HOST PORT NAME");
    if (!conf::utf8_to_cp932(conf::console::argument_as_utf8(operands[2].c_str()), &command->name))
        return conf::gnu::usage_error("confchat", "the name has a character that code page 932 cannot encode");
    command->host = operands[0];
    command->port = operands[1];
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    conf::console::prepare_standard_streams();
    CommandLine command;
    if (const int status = parse_command_line(argc, argv, &command); status >= 0) return status;

    ConsoleClientView view(command.host, command.port, command.name);
    conf::ClientCore core(view);
    conf::console::ConsoleInput input;
    core.join();
    if (!core.joined()) return 1;

    std::string pending;
    for (;;) {
        const conf::net::SocketHandle socket = core.socket_open() ? core.socket() : conf::net::kInvalidSocket;
        switch (input.wait(socket, &pending)) {
        case conf::console::Wake::Datagram:
            core.on_socket_event(conf::kReadEvent);
            break;
        case conf::console::Wake::Input:
            send_complete_lines(&pending, view, core);
            break;
        case conf::console::Wake::EndOfInput:
            // A last line without its newline still counts.
            if (!pending.empty()) send_typed_line(pending, view, core);
            core.leave();
            return 0;
        case conf::console::Wake::Stop:
            core.leave();
            return 0;
        }
    }
}
