#pragma once

#include <string>

namespace tandrel {

/// How a request's transfers prove who they are to the server: none by
/// default. A server that accepts none of what is sent answers 401, which is
/// then the reply's status (the transfer itself succeeds). Credentials go
/// only to the origin (scheme, host, port) first asked; never into a dump.
struct NetworkAuth
{
    /// What is sent.
    enum class Scheme {
        /// No credentials.
        none,
        /// user and password with every request.
        basic,
        /// user and password, answering the server's Digest challenge (the
        /// first request goes without, the second with the answer).
        digest,
        /// token, as `"Authorization: Bearer <token>"`.
        bearer,
    };

    /// The scheme in use; the fields it does not read are ignored.
    Scheme scheme = Scheme::none;
    /// For basic and digest.
    std::string user;
    /// For basic and digest.
    std::string password;
    /// For bearer.
    std::string token;

    /// `"NetworkAuth:\nscheme:<none|basic|digest|bearer>\nuser:<user>\n"`:
    /// never the password or the token.
    std::string toString() const;
};

} // namespace tandrel
