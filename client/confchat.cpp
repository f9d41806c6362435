// confchat: a conference participant without a window, for a Linux machine
// of the LAN (it also builds as a Windows console program).
//
//   confchat HOST PORT NAME
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

#include "client_core.h"
#include "console_io.h"
#include "port_number.h"
#include "protocol.h"
#include "text_codec.h"

namespace {

void write_out(std::FILE* stream, std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
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
        std::string fresh = conf::cp932_to_utf8(std::string_view(log).substr(printed_));
        printed_ = log.size();
        std::string lines;
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            if (fresh[i] == '\r' && i + 1 < fresh.size() && fresh[i + 1] == '\n') continue;
            lines += fresh[i];
        }
        write_out(stdout, lines);
    }
    void show_report(const char* text, const char* caption) override {
        write_out(stderr, conf::cp932_to_utf8(caption) + ": " + conf::cp932_to_utf8(text) + "\n");
    }
    bool register_socket_events(conf::net::SocketHandle socket) override {
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

}  // namespace

int main(int argc, char** argv) {
    conf::console::prepare_standard_streams();
    if (argc != 4) {
        write_out(stderr, "usage: confchat HOST PORT NAME\n");
        return 2;
    }
    std::string name;
    if (!conf::utf8_to_cp932(conf::console::argument_as_utf8(argv[3]), &name)) {
        write_out(stderr, "confchat: the name has a character that code page 932 cannot encode\n");
        return 2;
    }

    ConsoleClientView view(argv[1], argv[2], name);
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
