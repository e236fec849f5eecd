#pragma once

#include <string>
#include <vector>

namespace tandrel {

/// The proxy a request's transfers go through. None by default, and the
/// environment's proxy variables are not read unless fromEnvironment is set.
struct NetworkProxy
{
    /// What the proxy is.
    enum class Kind {
        /// Straight to the server; with fromEnvironment, through what
        /// http_proxy, https_proxy, all_proxy and no_proxy say.
        none,
        /// An HTTP proxy: plain HTTP sent to it, HTTPS tunnelled (CONNECT).
        http,
        /// The same, reached over TLS; its certificate is checked as the
        /// server's is (NetworkSecurity), against the same CA file.
        https,
        /// SOCKS5, the server's name resolved by the proxy.
        socks5,
    };

    /// The proxy's kind; with none, the other fields but fromEnvironment are ignored.
    Kind kind = Kind::none;
    /// The proxy's host name or address.
    std::string host;
    /// The proxy's port; there is no default for it.
    unsigned short port = 0;
    /// Credentials for the proxy (Basic for an HTTP proxy, RFC 1929 for
    /// SOCKS5); none when user is empty.
    std::string user;
    /// See user.
    std::string password;
    /// Hosts reached without the proxy: a name also covers its subdomains,
    /// "*" every host.
    std::vector<std::string> bypass;
    /// With kind none: use the environment's proxy variables instead of none.
    bool fromEnvironment = false;

    /// `"NetworkProxy:\n"` and one `"name:value\n"` line per setting but the
    /// password, which is never shown.
    std::string toString() const;
};

} // namespace tandrel
