#include "client_session.h"

namespace conf {

Line ClientSession::compose(std::string_view name, std::string_view input) {
    const bool login = first_send_;
    first_send_ = false;
    return login ? compose_login_request(name, input) : compose_chat_line(name, input);
}

ClientSession::Heard ClientSession::hear(std::string_view datagram) {
    if (datagram == text::kLoginAccepted) {
        logged_in_ = true;
        return Heard::LoginAccepted;
    }
    if (datagram == text::kCapacityRefusal) {
        first_send_ = true;
        return Heard::CapacityRefusal;
    }
    return Heard::Line;
}

bool ClientSession::take_leave_notice(std::string_view name, Line* notice) {
    if (!logged_in_) return false;
    logged_in_ = false;
    *notice = compose_leave_notice(name);
    return true;
}

}  // namespace conf
