#include "table_state.h"

#include <cstdio>
#include <exception>
#include <set>

#include "address_text.h"
#include "json.h"
#include "relay_host.h"
#include "text_codec.h"

namespace conf {
namespace {

using Json = nlohmann::ordered_json;

constexpr char kFormat[] = "confrelay participant table";
constexpr std::uint64_t kVersion = 1;
// A full table takes about 15 KB; anything far larger is not one.
constexpr std::size_t kLargestDocument = 256 * 1024;

std::string to_hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool from_hex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) return false;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high << 4 | low);
    }
    *bytes = std::move(out);
    return true;
}

// A name as the relay stores one from a login request: not empty, no '+'
// (it ends the name) and no NUL, at most 31 bytes and not ending inside a
// double-byte character.
bool is_storable_name(std::string_view name) {
    return !name.empty() && name.find(kNameEnd) == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && stored_name(name).size() == name.size();
}

// Exactly these fields, no more and no fewer.
bool has_exactly(const Json& object, std::initializer_list<const char*> names, std::string* fault) {
    for (const char* name : names) {
        if (object.find(name) == object.end()) {
            *fault = std::string("no \"") + name + "\"";
            return false;
        }
    }
    if (object.size() != names.size()) {
        *fault = "fields this version does not know";
        return false;
    }
    return true;
}

bool read_participant(const Json& entry, ParticipantTable* table, std::string* fault) {
    if (!entry.is_object()) {
        *fault = "a participant that is not an object";
        return false;
    }
    if (!has_exactly(entry, {"slot", "address", "port", "name", "name_cp932"}, fault)) return false;
    const Json& slot = entry["slot"];
    const Json& address = entry["address"];
    const Json& port = entry["port"];
    std::uint32_t address_host_order = 0;
    std::string name;
    if (!slot.is_number_unsigned() || slot.get<std::uint64_t>() >= ParticipantTable::kSlots) {
        *fault = "a slot number out of range";
        return false;
    }
    if (!address.is_string() || !net::parse_ipv4(address.get_ref<const std::string&>(), &address_host_order)) {
        *fault = "an address that is not a.b.c.d";
        return false;
    }
    if (!port.is_number_unsigned() || port.get<std::uint64_t>() > 65535) {
        *fault = "a port out of range";
        return false;
    }
    if (!entry["name"].is_string() || !entry["name_cp932"].is_string() ||
        !from_hex(entry["name_cp932"].get_ref<const std::string&>(), &name) || !is_storable_name(name)) {
        *fault = "a name the relay cannot have stored";
        return false;
    }
    const int index = static_cast<int>(slot.get<std::uint64_t>());
    const auto port_number = static_cast<std::uint16_t>(port.get<std::uint64_t>());
    if (!table->restore(index, net::make_address(address_host_order, port_number), name)) {
        *fault = "slot " + std::to_string(index) + " twice";
        return false;
    }
    return true;
}

bool read_document(std::string_view document, ParticipantTable* table, std::string* fault) {
    const Json root = Json::parse(document.begin(), document.end(), nullptr, false);
    if (root.is_discarded()) {
        *fault = "not a whole JSON document (truncated or damaged)";
        return false;
    }
    if (!root.is_object() || root.find("format") == root.end() || root["format"] != kFormat) {
        *fault = "not a confrelay participant table";
        return false;
    }
    const auto version = root.find("version");
    if (version == root.end() || !version->is_number_unsigned() || version->get<std::uint64_t>() != kVersion) {
        *fault = "a version this relay does not read (it reads version " + std::to_string(kVersion) + ")";
        return false;
    }
    if (!has_exactly(root, {"format", "version", "participants"}, fault)) return false;
    const Json& participants = root["participants"];
    if (!participants.is_array() || participants.size() > ParticipantTable::kSlots) {
        *fault = "no list of at most " + std::to_string(ParticipantTable::kSlots) + " participants";
        return false;
    }
    ParticipantTable read;
    for (const Json& entry : participants) {
        if (!read_participant(entry, &read, fault)) return false;
    }
    *table = read;
    return true;
}

// For a file name: 20261207T091502.
std::string compact_local_time(const LocalTime& now) {
    const std::string time = format_rfc3339(now);
    std::string compact;
    for (std::size_t i = 0; i < 19 && i < time.size(); ++i) {
        if (time[i] != '-' && time[i] != ':') compact += time[i];
    }
    return compact;
}

}  // namespace

std::string table_document(const ParticipantTable& table) {
    Json participants = Json::array();
    for (int index = 0; index < ParticipantTable::kSlots; ++index) {
        const ParticipantSlot& slot = table.slot(index);
        if (slot.in_use == 0) continue;
        Json entry;
        entry["slot"] = index;
        entry["address"] = net::address_text(slot.address);
        entry["port"] = net::port_of(slot.address);
        entry["name"] = cp932_to_utf8(slot.name);
        entry["name_cp932"] = to_hex(slot.name);
        participants.push_back(std::move(entry));
    }
    Json root;
    root["format"] = kFormat;
    root["version"] = kVersion;
    root["participants"] = std::move(participants);
    return root.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool read_table_document(std::string_view document, ParticipantTable* table, std::string* fault) {
    // The checks above never throw by design; this is the last line should
    // the library find something they did not foresee.
    try {
        return read_document(document, table, fault);
    } catch (const std::exception& error) {
        *fault = std::string("unreadable (") + error.what() + ")";
        return false;
    }
}

ParticipantTable StateFile::load() {
    std::string document;
    std::string error;
    ParticipantTable table;
    switch (host::read_file(path_, kLargestDocument, &document, &error)) {
    case host::ReadStatus::Missing:
        return table;
    case host::ReadStatus::NotAFile:
        // Never moved aside: it may be a folder given by mistake.
        report_("state " + path_ + ": " + error + "; starting with an empty table");
        return table;
    case host::ReadStatus::Failed:
        set_aside(error);
        return table;
    case host::ReadStatus::Read:
        break;
    }
    if (!read_table_document(document, &table, &error)) {
        set_aside("not a valid participant table: " + error);
        return ParticipantTable();
    }
    return table;
}

void StateFile::set_aside(const std::string& why) {
    const std::string aside = path_ + ".bad-" + compact_local_time(clock_.local(clock_.wall_now()));
    std::string error;
    if (host::rename_file(path_, aside, &error)) {
        report_("state " + path_ + ": " + why + "; kept as " + aside + ", starting with an empty table");
    } else {
        report_("state " + path_ + ": " + why + "; starting with an empty table (" + error + ")");
    }
}

void StateFile::save_if_changed(const ParticipantTable& table) {
    if (!dirty_) return;
    const RelayClock::Moment now = clock_.now();
    if (failing_ && now < next_attempt_) return;
    std::string error;
    if (host::replace_file(path_, table_document(table), &error)) {
        dirty_ = false;
        if (failing_) report_("state " + path_ + ": written again");
        failing_ = false;
        return;
    }
    if (!failing_) report_("state " + path_ + ": " + error + "; the table on file is behind until it can be written");
    failing_ = true;
    next_attempt_ = now + std::chrono::seconds(1);
}

}  // namespace conf
