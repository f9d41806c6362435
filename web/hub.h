// What every connection of one gateway shares, and the places a connection
// holds in it: each is taken by constructing it and given back by
// destroying it (or resetting the optional that holds it), so that no path
// out of a session can forget one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "library_headers_begin.h"
#include <boost/asio/ip/udp.hpp>
#include "library_headers_end.h"

#include "browser_participant.h"
#include "host_names.h"
#include "per_address_limit.h"
#include "resume_desk.h"

namespace conf::web {

// Connections of any kind at once; one more is closed unanswered, so that a
// flood cannot use up the process's descriptors.
constexpr std::size_t kMaxConnections = 512;
// Open tabs at once (joined or not); one more gets 503.
constexpr std::size_t kMaxTabs = 300;
// The same from one remote address, so that one host cannot take them all.
constexpr std::size_t kMaxConnectionsPerAddress = 32;
constexpr std::size_t kMaxTabsPerAddress = 16;

class RelayParticipant;
class TlsContext;

// Something that must end when the gateway stops.
class Connection {
public:
    virtual void stop() = 0;

protected:
    ~Connection() = default;
};

struct Hub {
    Hub(std::string relay_shown, boost::asio::ip::udp::endpoint relay_endpoint, HostNames names)
        : state(std::move(relay_shown)), relay(relay_endpoint), host_names(std::move(names)) {}

    GatewayState state;
    boost::asio::ip::udp::endpoint relay;
    HostNames host_names;
    std::string wrong_host_answer;  // where to go instead
    // Set when the page is served over TLS only.
    std::shared_ptr<TlsContext> tls;
    std::list<Connection*> connections;
    std::size_t tabs = 0;
    PerAddressLimit connections_per_address{kMaxConnectionsPerAddress};
    PerAddressLimit tabs_per_address{kMaxTabsPerAddress};
    bool stopping = false;
    std::function<void()> on_last_connection_gone;
    // The source address of the next tab's UDP socket when the relay is on
    // this machine: 127.1.0.1 on, one of its own for each.
    std::uint32_t next_loopback_source = 0;
    // How long a participant whose connection dropped waits to be resumed
    // (zero: it leaves at once), and those that wait.
    std::chrono::seconds resume_limit{120};
    ResumeDesk<RelayParticipant> resumes{new_resume_token};
};

// A connection's entry in the hub's list, which the gateway's stop walks.
class HubEntry {
public:
    HubEntry(Hub& hub, Connection* connection)
        : hub_(hub), entry_(hub.connections.insert(hub.connections.end(), connection)) {}
    ~HubEntry() {
        hub_.connections.erase(entry_);
        if (hub_.stopping && hub_.connections.empty() && hub_.on_last_connection_gone)
            hub_.on_last_connection_gone();
    }
    HubEntry(const HubEntry&) = delete;
    HubEntry& operator=(const HubEntry&) = delete;

private:
    Hub& hub_;
    std::list<Connection*>::iterator entry_;
};

// One of the hub's tab places.
class TabPlace {
public:
    explicit TabPlace(Hub& hub) : hub_(hub) { ++hub_.tabs; }
    ~TabPlace() { --hub_.tabs; }
    TabPlace(const TabPlace&) = delete;
    TabPlace& operator=(const TabPlace&) = delete;

private:
    Hub& hub_;
};

}  // namespace conf::web
