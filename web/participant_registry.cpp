#include "participant_registry.h"

#include <algorithm>

#include "protocol.h"

namespace conf::web {
namespace {

// The forms under which the relay may know a name: as its login request
// stores it (cut at the first '+', and to 31 bytes) and as its leave notice
// looks for it (the whole name, cut to 31 bytes). They differ only for a
// name with a '+' in it.
struct RelayForms {
    std::string_view stored;
    std::string_view leaving;
};

RelayForms relay_forms(std::string_view name, Line* login) {
    *login = compose_login_request(name, "");
    LoginRequest request;
    RelayForms forms;
    if (parse_login_request(login->view(), &request)) forms.stored = request.name;
    forms.leaving = stored_name(name);
    return forms;
}

bool share_a_form(std::string_view a, std::string_view b) {
    Line login_a;
    Line login_b;
    const RelayForms forms_a = relay_forms(a, &login_a);
    const RelayForms forms_b = relay_forms(b, &login_b);
    for (const std::string_view x : {forms_a.stored, forms_a.leaving})
        for (const std::string_view y : {forms_b.stored, forms_b.leaving})
            if (!x.empty() && x == y) return true;
    return false;
}

}  // namespace

ParticipantRegistry::ParticipantRegistry(std::size_t capacity) : capacity_(capacity) {
    names_.reserve(capacity);
}

ParticipantRegistry::Claim ParticipantRegistry::claim(std::string_view name) {
    for (const std::string& held : names_)
        if (share_a_form(held, name)) return Claim::NameInUse;
    if (names_.size() >= capacity_) return Claim::Full;
    names_.emplace_back(name);
    return Claim::Granted;
}

void ParticipantRegistry::release(std::string_view name) {
    const auto held = std::find(names_.begin(), names_.end(), name);
    if (held != names_.end()) names_.erase(held);
}

}  // namespace conf::web
