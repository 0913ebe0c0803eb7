// On Windows, what a station trusts when its [mqtt] names no ca_file: the
// root CAs of the system's certificate store, which OpenSSL does not read
// by itself.
#pragma once

#include <string>

struct ssl_ctx_st;

namespace brivant::tool {

// A TLS 1.2+ client context that trusts the store's root CAs, checks the
// broker's certificate against them and against `host` (a name or an
// address), and presents the client certificate and key when given; null,
// with `why`, when it cannot be made.
ssl_ctx_st* systemCaContext(const std::string& host, const std::string& certFile, const std::string& keyFile,
                            std::string& why);

// Lets go of the caller's hold on the context (libmosquitto keeps its own).
void releaseContext(ssl_ctx_st* context);

} // namespace brivant::tool
