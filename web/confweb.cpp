// confweb: lets the browsers of the LAN join the conference. Each browser tab
// that joins becomes one participant, through a UDP socket of its own to the
// relay given at start.
//
//   confweb --relay HOST:PORT [--listen ADDRESS:PORT] [--allow-host NAME]...
//           [--enter-seconds N] [--resume-seconds N]
//           [--tls-cert FILE --tls-key FILE]
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "address_text.h"
#include "gateway.h"
#include "gnu_command_line.h"
#include "port_number.h"
#include "tls.h"
#include "windows_service.h"

namespace {

constexpr const char* kUsage =
    "Usage: confweb --relay HOST:PORT [--listen ADDRESS:PORT] [--allow-host NAME]...\n"
    "               [--enter-seconds N] [--resume-seconds N]\n"
    "               [--tls-cert FILE --tls-key FILE]\n";

constexpr const char* kHelp =
    "Let the browsers of the LAN join a Tavilo conference: serve a web page and,\n"
    "for each browser tab that joins, take part in the conference through the\n"
    "relay (confrelay, or confserver on Windows) at HOST:PORT, as confclient does.\n"
    "\n"
    "  --relay HOST:PORT       the conference's relay; resolved once at start,\n"
    "                          never chosen by a browser\n"
    "  --listen ADDRESS:PORT   where to serve the page and its WebSocket\n"
    "                          (default 0.0.0.0:8080; port 0 picks a free one)\n"
    "  --allow-host NAME       also serve browsers that open the page under NAME,\n"
    "                          a name of this machine in the LAN's DNS; may be\n"
    "                          given more than once\n"
    "  --enter-seconds N       a browser participant that has joined but not sent\n"
    "                          its first line within N seconds leaves, giving its\n"
    "                          name and place to others (default 600)\n"
    "  --resume-seconds N      a browser participant whose connection drops stays\n"
    "                          in the room N seconds for its page to come back\n"
    "                          (default 120; 0 leaves at once)\n"
    "  --tls-cert FILE         serve the page over HTTPS (and its WebSocket over\n"
    "                          WSS) with the PEM certificate chain in FILE; a\n"
    "                          plain http:// request is sent to the https://\n"
    "                          address. Needs --tls-key\n"
    "  --tls-key FILE          the certificate's private key (PEM, unencrypted)\n"
    "      --help              display this help and exit\n"
    "      --version           output version information and exit\n"
    "\n"
    "At start it prints the page's address for every local IPv4 address. The page\n"
    "is served under those addresses, this machine's host name, localhost and the\n"
    "names given with --allow-host only, so that no other site's name can be made\n"
    "to lead to it (DNS rebinding); under any other name it answers 403. At most\n"
    "100 browser participants take part at once, no two under the same name.\n"
    "SIGINT or SIGTERM makes every browser participant leave the conference,\n"
    "closes the browsers' connections and ends the program.\n";

constexpr const char* kTlsAvailable = "This build of confweb has TLS (--tls-cert, --tls-key).\n";
constexpr const char* kTlsMissing = "This build of confweb has no TLS: --tls-cert and --tls-key are refused.\n";

// A certificate chain or a key is a few kilobytes.
constexpr std::size_t kMaxPemBytes = 1 << 20;

int usage_error(const std::string& problem) { return conf::gnu::usage_error("confweb", problem); }

// The whole file, or false with *problem set.
bool read_small_file(const std::string& path, std::string* content, std::string* problem) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *problem = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    content->clear();
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content->append(chunk, got);
        if (content->size() > kMaxPemBytes) break;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) *problem = "cannot read '" + path + "'";
    else if (content->size() > kMaxPemBytes) *problem = "'" + path + "' is too large for a PEM file";
    else if (content->empty()) *problem = "'" + path + "' is empty";
    else return true;
    return false;
}

// HOST:PORT at the last colon.
bool split_host_port(std::string_view text, bool port_zero_allowed, std::string* host, std::uint16_t* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::uint32_t number = 0;
    if (!conf::parse_unsigned_decimal(text.substr(colon + 1), &number) || number > 65535) return false;
    if (number == 0 && !port_zero_allowed) return false;
    host->assign(text.substr(0, colon));
    *port = static_cast<std::uint16_t>(number);
    return true;
}

// The options that take a value, as "--option VALUE" or "--option=VALUE".
constexpr std::string_view kValuedOptions[] = {"--relay",          "--listen",   "--allow-host", "--enter-seconds",
                                               "--resume-seconds", "--tls-cert", "--tls-key"};

bool takes_value(std::string_view option) {
    for (const std::string_view valued : kValuedOptions)
        if (option == valued) return true;
    return false;
}

bool parse_seconds(std::string_view text, std::uint32_t* seconds) {
    return conf::parse_unsigned_decimal(text, seconds) && *seconds <= 7 * 24 * 3600;
}

bool is_host_name(std::string_view text) {
    for (const char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
              c == '_'))
            return false;
    return !text.empty();
}

}  // namespace

static int gateway_main(int argc, char** argv) {
    conf::web::GatewayOptions options;
    bool have_relay = false;
    std::string certificate_file;
    std::string key_file;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            std::fputs(conf::web::tls_available() ? kTlsAvailable : kTlsMissing, stdout);
            return 0;
        }
        if (argument == "--version") {
            conf::gnu::print_version("confweb");
            return 0;
        }
        std::string_view option = argument;
        std::string_view value;
        const std::size_t equals = argument.find('=');
        if (argument.substr(0, 2) == "--" && equals != std::string_view::npos) {
            option = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        } else if (takes_value(argument)) {
            if (i + 1 >= argc) return usage_error(std::string(argument) + " needs a value");
            value = argv[++i];
        }
        if (option == "--relay") {
            if (!split_host_port(value, false, &options.relay_host, &options.relay_port))
                return usage_error("--relay wants HOST:PORT with a port from 1 to 65535, not '" +
                                   std::string(value) + "'");
            have_relay = true;
        } else if (option == "--listen") {
            std::uint32_t listen_host_order = 0;
            if (!split_host_port(value, true, &options.listen_address, &options.listen_port) ||
                !conf::net::parse_ipv4(options.listen_address, &listen_host_order))
                return usage_error("--listen wants ADDRESS:PORT, not '" + std::string(value) + "'");
        } else if (option == "--allow-host") {
            if (!is_host_name(value))
                return usage_error("--allow-host wants a host name (letters, digits, '-', '.'), not '" +
                                   std::string(value) + "'");
            options.allowed_hosts.emplace_back(value);
        } else if (option == "--enter-seconds") {
            if (!parse_seconds(value, &options.enter_seconds) || options.enter_seconds == 0)
                return usage_error("--enter-seconds wants a number of seconds from 1 to 604800, not '" +
                                   std::string(value) + "'");
        } else if (option == "--resume-seconds") {
            if (!parse_seconds(value, &options.resume_seconds))
                return usage_error("--resume-seconds wants a number of seconds from 0 to 604800, not '" +
                                   std::string(value) + "'");
        } else if (option == "--tls-cert" || option == "--tls-key") {
            if (value.empty()) return usage_error(std::string(option) + " wants a file name");
            (option == "--tls-cert" ? certificate_file : key_file).assign(value);
        } else {
            return usage_error("unknown argument '" + std::string(argument) + "'");
        }
    }
    if (!have_relay) return usage_error("--relay HOST:PORT is missing");
    if (!certificate_file.empty() || !key_file.empty()) {
        if (!conf::web::tls_available()) return usage_error("TLS is not available in this build");
        if (certificate_file.empty() || key_file.empty()) return usage_error("--tls-cert and --tls-key go together");
        // Refused here rather than by the gateway: no restart mends them.
        std::string certificate_pem;
        std::string key_pem;
        std::string problem;
        if (!read_small_file(certificate_file, &certificate_pem, &problem))
            return usage_error("--tls-cert: " + problem);
        if (!read_small_file(key_file, &key_pem, &problem)) return usage_error("--tls-key: " + problem);
        options.tls = conf::web::make_tls_context(certificate_pem, key_pem, certificate_file, key_file, &problem);
        if (!options.tls) return usage_error(problem);
    }
    return conf::web::run_gateway(options);
}

int main(int argc, char** argv) {
    int status = 0;
    if (conf::service::run_if_requested(argc, argv, gateway_main, &status)) return status;
    return gateway_main(argc, argv);
}
