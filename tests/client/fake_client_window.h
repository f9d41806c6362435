// A client window in memory: fields, control states, focus, the boxes shown
// and every text the log field was given.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client_core.h"
#include "port_number.h"
#include "udp.h"

namespace conf::testing {

struct Control {
    std::string text;
    bool enabled = true;
    bool read_only = false;
};

struct Box {
    std::string text;
    std::string caption;
};

class FakeClientWindow final : public ClientView {
public:
    FakeClientWindow() { controls[IDC_SEND].enabled = false; }

    // Cuts at the byte limit like a buffer of that size, even through a
    // double-byte character.
    std::string field_text(int control, std::size_t max_bytes) override {
        return controls[control].text.substr(0, max_bytes);
    }
    bool field_unsigned(int control, std::uint32_t* value) override {
        return parse_unsigned_decimal(controls[control].text, value);
    }
    void set_field_text(int control, const char* text) override {
        controls[control].text = text;
        if (control == IDC_LOG) log_texts.push_back(text);
    }
    void enable_control(int control, bool enabled) override { controls[control].enabled = enabled; }
    void set_read_only(int control, bool read_only) override { controls[control].read_only = read_only; }
    void focus_control(int control) override { focus = control; }
    // As EM_GETLINECOUNT: a text that ends in a line break has an empty
    // last line.
    int line_count(int control) override {
        const std::string& text = controls[control].text;
        return 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    void scroll_lines(int control, int lines) override {
        if (control == IDC_LOG) scrolls.push_back(lines);
    }
    void show_report(const char* text, const char* caption) override {
        boxes.push_back({text, caption});
        deepest_box = std::max(deepest_box, ++open_boxes);
        // A modal box keeps dispatching socket events until it is closed.
        if (while_box_open) while_box_open();
        --open_boxes;
    }
    bool register_socket_events(net::SocketHandle socket) override {
        return !refuse_registration && net::set_nonblocking(socket);
    }

    const std::string& text(int control) { return controls[control].text; }

    std::map<int, Control> controls;
    int focus = 0;
    std::vector<Box> boxes;
    std::vector<std::string> log_texts;
    std::vector<int> scrolls;
    std::function<void()> while_box_open;
    int open_boxes = 0;
    int deepest_box = 0;
    bool refuse_registration = false;
};

// The three control states the core switches between.
inline bool shows_joined(FakeClientWindow& window) {
    return !window.controls[IDC_JOIN].enabled && window.controls[IDC_SEND].enabled &&
           window.controls[IDC_PORT].read_only && window.controls[IDC_SERVER].read_only &&
           window.controls[IDC_NAME].read_only;
}

inline bool shows_not_joined(FakeClientWindow& window) {
    return window.controls[IDC_JOIN].enabled && !window.controls[IDC_SEND].enabled &&
           !window.controls[IDC_PORT].read_only && !window.controls[IDC_SERVER].read_only &&
           !window.controls[IDC_NAME].read_only;
}

// Hands the client one read event per waiting datagram, as the window's
// message loop does, until nothing more arrives within `quiet_ms`.
inline void pump(ClientCore& client, int quiet_ms = 50) {
    for (int events = 0; events < 10000 && client.socket_open() &&
                         net::wait_readable(client.socket(), quiet_ms) == net::WaitStatus::Readable;
         ++events)
        client.on_socket_event(kReadEvent);
}

}  // namespace conf::testing
