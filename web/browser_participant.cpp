#include "browser_participant.h"

#include <algorithm>
#include <utility>

#include "browser_text.h"
#include "protocol.h"
#include "text_codec.h"
#include "ui_texts.h"

namespace conf::web {
namespace {

// Lines sent whose echo is still awaited; older ones are forgotten.
constexpr std::size_t kMaxEchoes = 64;

// The client's own reports, from the same bytes its window shows.
std::string client_text(const char* cp932) { return cp932_to_utf8(cp932); }

}  // namespace

BrowserParticipant::~BrowserParticipant() { release_name(); }

void BrowserParticipant::to_tab(std::string message) {
    host_.send_to_tab(std::make_shared<const std::string>(std::move(message)));
}

void BrowserParticipant::notice(std::string_view code, std::string_view text_utf8) {
    to_tab(frame::notice(code, text_utf8));
}

void BrowserParticipant::unsent(std::string_view code, std::string_view text_utf8) {
    to_tab(frame::unsent(code, text_utf8));
}

std::string BrowserParticipant::unreachable_text() const {
    return u8"会議サーバー（" + gateway_.relay + u8"）に届きません。サーバーが動いているか確かめてください";
}

void BrowserParticipant::release_name() {
    if (!holds_name_) return;
    gateway_.registry.release(name_);
    holds_name_ = false;
}

void BrowserParticipant::join(std::string_view name_utf8, Clock::time_point now) {
    if (joined_) {
        notice("already_joined", u8"すでに参加しています");
        return;
    }
    // Each join may end in an entry and an exit notice to the whole room.
    if (!gateway_.rates.take_join(address_, now)) {
        notice("join_rate_limited", u8"参加の操作が多すぎます。少し待ってからもう一度参加してください");
        return;
    }
    std::string name;
    std::string lacking;
    if (!typed_to_cp932(name_utf8, kMaxClientName, &name, &lacking)) {
        notice("name_unencodable", u8"お名前に使えない文字があります: " + lacking);
        return;
    }
    if (name.empty()) {
        notice("name_empty", client_text(ui::kNameInvalid));
        return;
    }
    if (!relay_reads_as_a_name(name)) {
        notice("name_invalid", u8"お名前の先頭に「!」や「#」は使えません。「+」はお名前のどこにも使えません");
        return;
    }

    // A name still held (the old socket could still say goodbye under it)
    // gives way to the new claim, and is claimed back should that fail.
    const std::string old_name = name_;
    const bool held_before = holds_name_;
    release_name();
    switch (gateway_.registry.claim(name, this)) {
    case ParticipantRegistry::Claim::Granted:
        break;
    case ParticipantRegistry::Claim::NameInUse:
        if (held_before) holds_name_ = gateway_.registry.claim(old_name, this) == ParticipantRegistry::Claim::Granted;
        notice("name_in_use", u8"その名前は使われています。別の名前で参加してください");
        return;
    case ParticipantRegistry::Claim::Full:
        if (held_before) holds_name_ = gateway_.registry.claim(old_name, this) == ParticipantRegistry::Claim::Granted;
        notice("full", u8"定員オーバーで参加できません（ブラウザからは" +
                           std::to_string(gateway_.registry.capacity()) + u8"人まで）。" +
                           client_text(ui::kLoginLater));
        return;
    }
    // The old socket is another participant to the relay: should it still
    // hold a place there, only its leave notice frees it.
    end_session();
    name_ = std::move(name);
    holds_name_ = true;

    if (!host_.open_relay_socket()) {
        release_name();
        notice("socket_failed", client_text(ui::kSocketOpenFailed));
        return;
    }
    socket_open_ = true;
    // Each join starts a new session: the page's leave returns to not
    // joined instead of ending the program, and what an earlier session
    // heard must not decide this one's leave notice.
    session_ = ClientSession{};
    joined_ = true;
    entered_ = false;
    joined_at_ = now;
    echoes_.clear();
    to_tab(frame::joined(cp932_to_utf8(name_), host_.resume_token()));
}

void BrowserParticipant::send(std::string_view text_utf8, Clock::time_point now) {
    if (!joined_) {
        unsent("not_joined", u8"参加していません");
        return;
    }
    // Every line counts against the limit, sent or not: what it costs to
    // look at stays bounded too.
    if (!gateway_.rates.take_line(address_, now)) {
        unsent("rate_limited", u8"送信が速すぎます。少し待ってから送信してください");
        return;
    }
    std::string input;
    std::string lacking;
    if (!typed_to_cp932(with_windows_line_breaks(text_utf8), kMaxInput, &input, &lacking)) {
        unsent("unencodable", u8"送信できない文字があります: " + lacking);
        return;
    }
    if (input.empty()) {
        unsent("empty", client_text(ui::kInputEmpty));
        return;
    }
    const bool login_request = session_.next_line_is_login_request();
    const Line line = session_.compose(name_, input);
    switch (host_.send_datagram(line.view())) {
    case DatagramSend::Sent:
        login_in_flight_ = login_in_flight_ || login_request;
        // The relay sends the login request back as "name :text".
        if (echoes_.size() >= kMaxEchoes) echoes_.pop_front();
        echoes_.push_back(login_request && line.view().size() >= 2 + name_.size()
                              ? name_ + " :" + std::string(line.view().substr(2 + name_.size()))
                              : std::string(line.view()));
        to_tab(frame::sent());
        if (login_request && !entered_) {
            entered_ = true;
            to_tab(frame::entered());
        }
        break;
    case DatagramSend::Unreachable:
        unsent("unreachable", unreachable_text());
        break;
    case DatagramSend::Failed:
        unsent("send_failed", client_text(ui::kSendFailed));
        break;
    }
}

void BrowserParticipant::heard(std::string_view datagram, std::int64_t time_ms) {
    if (!socket_open_) return;
    const std::string_view text = as_received_text(datagram.data(), datagram.size());
    const auto echo = std::find(echoes_.begin(), echoes_.end(), text);
    if (echo != echoes_.end()) {
        // Lines sent before it that never came back are not waited for.
        echoes_.erase(echoes_.begin(), echo + 1);
        to_tab(frame::line(cp932_to_utf8(text), time_ms, true));
    } else {
        host_.send_to_tab(gateway_.heard.frame_for(text, time_ms));
    }
    // The relay refuses only in answer to a login request, and a logged-in
    // session sends none: the refusal's text is then a chat line anyone
    // could have sent, and nothing more.
    if (session_.logged_in() && text == text::kCapacityRefusal) return;
    const ClientSession::Heard meaning = session_.hear(text);
    if (meaning != ClientSession::Heard::Line) login_in_flight_ = false;
    if (meaning != ClientSession::Heard::CapacityRefusal) return;

    notice("refused", client_text(ui::kLoginLater));
    if (joined_) {
        joined_ = false;
        to_tab(frame::not_joined());
    }
    // The socket stays open until the next join or leave, as the client's
    // does; refused, it holds no place under the name.
    release_name();
}

void BrowserParticipant::receive_failed(ReceiveTrouble trouble) {
    if (!socket_open_) return;
    if (trouble == ReceiveTrouble::Unreachable) notice("unreachable", unreachable_text());
    else notice("receive_failed", client_text(ui::kReceiveFailed));
}

void BrowserParticipant::end_session() {
    if (!socket_open_) return;
    // Due once logged in, and also while the login request waits for its
    // answer: the relay may yet accept it, and with the socket gone only this
    // notice, ahead of the answer, frees that place.
    Line notice_line;
    const bool logged_in = session_.take_leave_notice(name_, &notice_line);
    if (logged_in || login_in_flight_) host_.send_datagram(compose_leave_notice(name_).view());
    login_in_flight_ = false;
    host_.close_relay_socket();
    socket_open_ = false;
}

void BrowserParticipant::finish() {
    end_session();
    release_name();
    joined_ = false;
}

void BrowserParticipant::leave() {
    finish();
    to_tab(frame::not_joined());
}

void BrowserParticipant::tab_gone() { finish(); }

std::string BrowserParticipant::name_utf8() const { return cp932_to_utf8(name_); }

void BrowserParticipant::name_taken() {
    // Never entered: the relay knows nothing of it, and its socket closes
    // without a leave notice.
    holds_name_ = false;
    finish();
    notice("name_taken", u8"参加したまま発言がないうちに、その名前で別の人が参加しました");
    to_tab(frame::not_joined());
}

void BrowserParticipant::check_enter_deadline(Clock::time_point now) {
    if (!joined_ || entered_ || now - joined_at_ < gateway_.enter_limit) return;
    finish();
    notice("enter_timeout", u8"発言がないまま時間が過ぎたため退室しました");
    to_tab(frame::not_joined());
}

}  // namespace conf::web
