#pragma once

#include <string>

namespace tandrel {

/// Caps on the connections of one manager; 0 is no cap. Transfers beyond a
/// cap wait for a connection to be free. Over HTTP/2 (offered over TLS, used
/// when the server takes it) transfers share connections as streams: with
/// perHost 1, all of a manager's transfers to one server run on one
/// connection; without a cap, a burst of them opens more than it needs.
struct ConnectionLimits
{
    /// At most this many connections to one host (and port).
    long perHost = 0;
    /// At most this many connections at all.
    long total = 0;

    /// `"ConnectionLimits:\n"` and one `"name:value\n"` line per cap.
    std::string toString() const;
};

} // namespace tandrel
