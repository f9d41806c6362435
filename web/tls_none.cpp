// A build without TLS: confweb refuses its TLS options before it gets here.
#include "http_session.h"
#include "tls.h"

namespace conf::web {

bool tls_available() { return false; }

std::shared_ptr<TlsContext> make_tls_context(const std::string&, const std::string&, const std::string&,
                                             const std::string&, std::string* problem) {
    *problem = "TLS is not available in this build";
    return nullptr;
}

void start_tls_connection(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<Hub>,
                          const boost::asio::ip::tcp::endpoint&, AddressPlace) {
    boost::system::error_code ignored;
    socket.close(ignored);
}

}  // namespace conf::web
