#include "tab_messages.h"

#include "json.h"

namespace conf::web {
namespace {

using nlohmann::json;

// Everything that reaches a frame is UTF-8 by construction; should a byte
// slip through, it is shown as U+FFFD rather than failing the dump (or, sent
// as is, the browser's connection).
std::string dump(const json& message) { return message.dump(-1, ' ', false, json::error_handler_t::replace); }

bool string_field(const json& message, const char* key, std::string* value, std::string* problem) {
    const auto field = message.find(key);
    if (field == message.end() || !field->is_string()) {
        *problem = std::string("no text field \"") + key + "\"";
        return false;
    }
    *value = field->get<std::string>();
    return true;
}

}  // namespace

bool parse_tab_request(std::string_view message, TabRequest* request, std::string* problem) {
    const json parsed = json::parse(message, nullptr, false);
    if (parsed.is_discarded()) {
        *problem = "malformed JSON";
        return false;
    }
    if (!parsed.is_object()) {
        *problem = "not a JSON object";
        return false;
    }
    const auto type = parsed.find("type");
    if (type == parsed.end() || !type->is_string()) {
        *problem = "no message type";
        return false;
    }
    const std::string& kind = type->get_ref<const std::string&>();
    if (kind == "join") {
        request->kind = TabRequest::Kind::Join;
        return string_field(parsed, "name", &request->text, problem);
    }
    if (kind == "send") {
        request->kind = TabRequest::Kind::Send;
        return string_field(parsed, "text", &request->text, problem);
    }
    if (kind == "resume") {
        request->kind = TabRequest::Kind::Resume;
        return string_field(parsed, "token", &request->text, problem);
    }
    if (kind == "leave") {
        request->kind = TabRequest::Kind::Leave;
        request->text.clear();
        return true;
    }
    *problem = "unknown message type";
    return false;
}

namespace frame {

std::string hello(std::string_view relay, std::int64_t resume_seconds) {
    return dump({{"type", "hello"}, {"relay", relay}, {"resume_seconds", resume_seconds}});
}

std::string joined(std::string_view name_utf8, std::string_view token) {
    json message{{"type", "state"}, {"state", "joined"}, {"name", name_utf8}};
    if (!token.empty()) message["token"] = token;
    return dump(message);
}

std::string resumed(std::string_view name_utf8, std::string_view token, bool entered, std::size_t missed) {
    return dump({{"type", "resumed"}, {"name", name_utf8}, {"token", token}, {"entered", entered}, {"missed", missed}});
}

std::string not_joined() { return dump({{"type", "state"}, {"state", "not_joined"}}); }

std::string line(std::string_view utf8, std::int64_t time_ms, bool own) {
    json message{{"type", "line"}, {"text", utf8}, {"time", time_ms}};
    if (own) message["own"] = true;
    return dump(message);
}

std::string entered() { return dump({{"type", "entered"}}); }

std::string sent() { return dump({{"type", "sent"}}); }

std::string unsent(std::string_view code, std::string_view text_utf8) {
    return dump({{"type", "unsent"}, {"code", code}, {"text", text_utf8}});
}

std::string notice(std::string_view code, std::string_view text_utf8) {
    return dump({{"type", "notice"}, {"code", code}, {"text", text_utf8}});
}

}  // namespace frame
}  // namespace conf::web
