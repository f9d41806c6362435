// The names held by one gateway's browser participants, and their number.
//
// Every browser participant reaches the relay from the gateway's one
// address, and the relay tells leaving participants apart by address and
// name only: two of them under one name would let one's leave notice free the
// other's place. So a name is held from the join until the participant can no
// longer send a leave notice, and names are compared the way the relay will
// compare them: as code-page-932 bytes, cut as it stores them.
//
// The relay reads some names as part of a command. Under a name that starts
// with '!' every chat line holding a '+' is a login request (a place that
// nothing frees, one a line); under one that starts with '#' every chat line
// is a leave notice, which can free another participant's place at the
// gateway's address; a name with a '+' is stored cut at it, so its own leave
// notice never frees its place. The Windows client allows them all; the
// gateway, whose tabs share one address, cannot.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace conf::web {

// False for a code-page-932 name the relay would not take whole as a name.
bool relay_reads_as_a_name(std::string_view name);

class ParticipantRegistry {
public:
    enum class Claim { Granted, NameInUse, Full };

    explicit ParticipantRegistry(std::size_t capacity);

    // `name` is the code-page-932 name as it goes into the login request,
    // one that relay_reads_as_a_name().
    Claim claim(std::string_view name);
    // Frees one claim of `name`.
    void release(std::string_view name);

    std::size_t count() const { return names_.size(); }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    std::vector<std::string> names_;
};

}  // namespace conf::web
