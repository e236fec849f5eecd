#pragma once

#include <cstdint>
#include <string>

namespace tandrel {

/// Time limits on the phases of a transfer, within its overall limit. Off
/// (0) by default. A negative value is refused when a transfer starts, with
/// CURLE_BAD_FUNCTION_ARGUMENT (43), as a negative overall limit is.
struct PhaseLimits
{
    /// The longest the connection may take to be made, TLS handshake included;
    /// past it the transfer ends with CURLE_OPERATION_TIMEDOUT (28), libcurl's
    /// code for a connection that is not made in time. A longer connect limit
    /// than the overall one is cut to it.
    int connectSeconds = 0;
    /// A transfer that moves fewer than stallBytesPerSecond bytes a second
    /// (0 counts as 1: nothing at all) for stallSeconds on end ends with
    /// CURLE_OPERATION_TIMEDOUT (28), libcurl's code for a transfer below its
    /// low speed limit. 0 seconds: no stall limit.
    std::uint64_t stallBytesPerSecond = 0;
    /// How long a stall may last; see stallBytesPerSecond.
    int stallSeconds = 0;

    /// `"PhaseLimits:\n"` and one `"name:value\n"` line per limit.
    std::string toString() const;
};

/// Bounds on what one transfer may take in or go through, beside its time
/// limit. Every bound is off (0) by default.
struct NetworkLimits
{
    /// The most body bytes a transfer keeps, in memory or in its file, after
    /// libcurl's decoding. A response announcing more fails before its body;
    /// one without a length fails once it passes the bound, keeping the bytes
    /// up to it. Either way the transfer ends with CURLE_FILESIZE_EXCEEDED (63).
    std::uint64_t maxBodySize = 0;

    /// The most redirects a transfer follows, to http and https only; 0: none
    /// (a 3xx answer is the reply). Past the bound the transfer ends with
    /// CURLE_TOO_MANY_REDIRECTS (47), a redirect to another scheme with
    /// CURLE_UNSUPPORTED_PROTOCOL (1). Credentials go only to the host asked
    /// for, cookies only where they belong. The reply's url() and statusCode()
    /// are then the final ones.
    int maxRedirects = 0;

    /// Limits on the connect and on stalls; its own dump, not in this one's.
    PhaseLimits phases;

    /// `"NetworkLimits:\n"` and one `"name:value\n"` line per bound.
    std::string toString() const;
};

} // namespace tandrel
