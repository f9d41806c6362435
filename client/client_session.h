// The rules of one participant's session with the server, apart from any
// window or socket, so that every front end (the client window, the console
// client, the web gateway) follows the same ones: which line goes out as the
// login request, when the participant counts as logged in, and when a leave
// notice is due.
#pragma once

#include <string_view>

#include "protocol.h"

namespace conf {

class ClientSession {
public:
    // What a received datagram means beside being a line of the log. Only
    // the exact fixed texts count.
    enum class Heard { Line, LoginAccepted, CapacityRefusal };

    // The line to send for `input`: the login request while one is due,
    // otherwise a chat line. The login request counts as sent once composed,
    // before the outcome of the send is known, so a failed first line is not
    // sent as a login request a second time.
    Line compose(std::string_view name, std::string_view input);

    // The accepted reply logs in (whatever the state); a refusal makes the
    // next line a login request again and leaves the logged-in flag alone.
    Heard hear(std::string_view datagram);

    // The leave notice is due only once logged in, and only once.
    bool take_leave_notice(std::string_view name, Line* notice);

    bool logged_in() const { return logged_in_; }
    bool next_line_is_login_request() const { return first_send_; }

private:
    bool first_send_ = true;
    bool logged_in_ = false;
};

}  // namespace conf
