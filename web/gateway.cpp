// The listener: one io_context on one thread, the acceptor, the signals
// that stop the gateway. Each TCP connection starts as an HTTP session
// (http_session.cpp) that serves the page's files; an upgrade to /ws from the
// page's own origin becomes a tab's session (tab_session.cpp), which carries
// a participant (relay_participant.cpp) with, while it has joined, a UDP
// socket connected to the relay. Beast is in those two sessions only: it
// takes long to build.
#include "gateway.h"

#include "library_headers_begin.h"
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include "library_headers_end.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console_close.h"
#include "gateway_log.h"
#include "http_session.h"
#include "hub.h"
#include "local_addresses.h"
#include "relay_participant.h"

namespace conf::web {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;
using error_code = boost::system::error_code;

// After SIGINT or SIGTERM: time for the tabs' closing handshakes.
constexpr std::chrono::seconds kStopGrace{3};

class Gateway {
public:
    Gateway(asio::io_context& io, std::shared_ptr<Hub> hub)
        : io_(io), hub_(std::move(hub)), acceptor_(io), signals_(io, SIGINT, SIGTERM), retry_(io), grace_(io), tick_(io) {}

    bool listen(const tcp::endpoint& endpoint) {
        error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            log_line("cannot listen on " + endpoint_text(endpoint) + ": " + ec.message());
            return false;
        }
        signals_.async_wait([this](error_code signal_ec, int) {
            if (!signal_ec) stop();
        });
        accept_next();
        tick();
        return true;
    }

    std::uint16_t port() const {
        error_code ec;
        return acceptor_.local_endpoint(ec).port();
    }

    void stop() {
        if (hub_->stopping) return;
        hub_->stopping = true;
        error_code ignored;
        acceptor_.close(ignored);
        signals_.cancel(ignored);  // stopped otherwise, nothing more to wait for
        retry_.cancel();
        tick_.cancel();
        // Every tab leaves the conference and is told why its connection
        // ends; the closing handshakes get a little time.
        const std::list<Connection*> connections = hub_->connections;
        for (Connection* connection : connections) connection->stop();
        for (const auto& participant : hub_->resumes.take_all_parked()) participant->participant().tab_gone();
        log_summaries(true);
        if (hub_->connections.empty()) return;
        hub_->on_last_connection_gone = [this] { grace_.cancel(); };
        grace_.expires_after(kStopGrace);
        grace_.async_wait([this](error_code ec) {
            if (!ec) io_.stop();
        });
    }

private:
    // What is due by the clock rather than by a peer.
    void tick() {
        log_summaries(false);
        const auto now = std::chrono::steady_clock::now();
        hub_->state.rates.forget_idle(now);
        hub_->state.registry.check_enter_deadlines(now);
        // Participants whose page did not come back in time leave.
        for (const auto& participant : hub_->resumes.expired(now)) participant->participant().tab_gone();
        tick_.expires_after(std::chrono::seconds(1));
        tick_.async_wait([this](error_code ec) {
            if (!ec && !hub_->stopping) tick();
        });
    }

    void accept_next() {
        acceptor_.async_accept([this](error_code ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
    }

    void on_accept(error_code ec, tcp::socket socket) {
        if (hub_->stopping || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Most likely out of descriptors: wait a little rather than spin.
            log_peer(0, "accept failed", "accept failed: " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](error_code timer_ec) {
                if (!timer_ec && !hub_->stopping) accept_next();
            });
            return;
        }
        const tcp::endpoint remote = socket.remote_endpoint(ec);
        AddressPlace place;
        if (!ec && hub_->connections.size() < kMaxConnections) {
            place = AddressPlace(hub_->connections_per_address, remote.address().to_v4().to_uint());
            if (!place)
                log_peer(remote.address().to_v4().to_uint(), "closed unanswered",
                         endpoint_text(remote) + ": closed unanswered: " + std::to_string(kMaxConnectionsPerAddress) +
                         " connections from that address are open");
        }
        if (place) {
            socket.set_option(tcp::no_delay(true), ec);
            start_connection(std::move(socket), hub_, remote, std::move(place));
        } else {
            error_code ignored;
            socket.close(ignored);
        }
        accept_next();
    }

    asio::io_context& io_;
    std::shared_ptr<Hub> hub_;
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer retry_;
    asio::steady_timer grace_;
    asio::steady_timer tick_;
};

}  // namespace

int run_gateway(const GatewayOptions& options) {
    asio::io_context io{1};

    error_code ec;
    const asio::ip::address_v4 listen_address = asio::ip::make_address_v4(options.listen_address, ec);
    if (ec) {
        log_line("--listen: " + options.listen_address + " is not an IPv4 address");
        return 2;
    }
    udp::resolver resolver(io);
    const auto found = resolver.resolve(udp::v4(), options.relay_host, std::to_string(options.relay_port), ec);
    if (ec || found.empty()) {
        log_line("cannot find the relay's host " + options.relay_host + (ec ? ": " + ec.message() : std::string()));
        return 1;
    }
    const udp::endpoint relay = found.begin()->endpoint();
    const std::string relay_shown = options.relay_host + ":" + std::to_string(options.relay_port);

    // This machine's names, short and fully qualified, beside those allowed.
    std::vector<std::string> names = options.allowed_hosts;
    const std::string host_name = asio::ip::host_name(ec);
    if (!ec && !host_name.empty()) {
        names.push_back(host_name);
        names.push_back(host_name.substr(0, host_name.find('.')));
        const auto qualified = resolver.resolve(udp::v4(), host_name, "", udp::resolver::canonical_name, ec);
        if (!ec && !qualified.empty()) names.push_back(qualified.begin()->host_name());
    }

    auto hub = std::make_shared<Hub>(relay_shown, relay, HostNames(std::move(names)));
    hub->state.enter_limit = std::chrono::seconds(options.enter_seconds);
    hub->resume_limit = std::chrono::seconds(options.resume_seconds);
    hub->tls = options.tls;
    Gateway gateway(io, hub);
    if (!gateway.listen(tcp::endpoint(listen_address, options.listen_port))) return 1;

    std::printf("confweb: relay %s (%s:%u)\n", relay_shown.c_str(), relay.address().to_string().c_str(),
                static_cast<unsigned>(relay.port()));
    std::printf("confweb: open the page in a browser:\n");
    const std::vector<std::string> addresses =
        listen_address.is_unspecified() ? local_ipv4_addresses() : std::vector<std::string>{options.listen_address};
    hub->wrong_host_answer = u8"この名前では開けません。次のアドレスのどれかを開いてください:\n";
    for (const std::string& address : addresses) {
        const std::string url = (hub->tls ? "https://" : "http://") + address + ":" + std::to_string(gateway.port()) + "/";
        std::printf("  %s\n", url.c_str());
        hub->wrong_host_answer += "  " + url + "\n";
    }
    hub->wrong_host_answer +=
        u8"名前で開くには、confweb を --allow-host 名前 を付けて起動してください。\n"
        "This gateway answers to the addresses above; confweb --allow-host NAME lets a name in.\n";
    std::fflush(stdout);

    // The console's end on Windows stops the gateway as SIGTERM does.
    const ConsoleCloseGuard console_close([&io, &gateway] { asio::post(io, [&gateway] { gateway.stop(); }); });
    io.run();
    return 0;
}

}  // namespace conf::web
