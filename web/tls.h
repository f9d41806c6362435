// HTTPS for the page and WSS for its WebSocket, where the build has TLS:
// tls_openssl.cpp with OpenSSL, tls_none.cpp without.
#pragma once

#include <memory>
#include <string>

namespace conf::web {

class TlsContext;

bool tls_available();

// The server's side of TLS from a PEM certificate chain and its unencrypted
// PEM private key (the files' contents); null with *problem set when they
// cannot be used, `certificate_name` and `key_name` naming them there.
std::shared_ptr<TlsContext> make_tls_context(const std::string& certificate_pem, const std::string& key_pem,
                                             const std::string& certificate_name, const std::string& key_name,
                                             std::string* problem);

}  // namespace conf::web
