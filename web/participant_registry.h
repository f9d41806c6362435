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

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace conf::web {

// False for a code-page-932 name the relay would not take whole as a name.
bool relay_reads_as_a_name(std::string_view name);

// Who holds a name. Until its first line has gone out the relay does not
// know it under that name, and it holds the name only for itself: a
// newcomer may take the name, and a holder that never enters gives it up in
// time.
class NameHolder {
public:
    virtual bool entered() const = 0;
    // Another took the name: it is no longer held.
    virtual void name_taken() = 0;
    // Gives the name up if it has held it too long without entering.
    virtual void check_enter_deadline(std::chrono::steady_clock::time_point now) = 0;

protected:
    ~NameHolder() = default;
};

class ParticipantRegistry {
public:
    enum class Claim { Granted, NameInUse, Full };

    explicit ParticipantRegistry(std::size_t capacity);

    // `name` is the code-page-932 name as it goes into the login request,
    // one that relay_reads_as_a_name(). A name held by a holder that has
    // not entered is taken from it (name_taken()); `holder` may be null for
    // one that never gives way.
    Claim claim(std::string_view name, NameHolder* holder = nullptr);
    // Frees one claim of `name`.
    void release(std::string_view name);
    // Asks every holder that has not entered to check its deadline.
    void check_enter_deadlines(std::chrono::steady_clock::time_point now);

    std::size_t count() const { return names_.size(); }
    std::size_t capacity() const { return capacity_; }

private:
    struct Held {
        std::string name;
        NameHolder* holder;
    };

    std::size_t capacity_;
    std::vector<Held> names_;
};

}  // namespace conf::web
