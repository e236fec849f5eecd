#pragma once

#include <cstdint>
#include <string>

namespace tandrel {

// Bounds on what one transfer may take in or go through, beside its time
// limit. Every bound is off (0) by default.
struct NetworkLimits
{
    // The most body bytes a transfer keeps, in memory or in its file, after
    // libcurl's decoding. A response announcing more fails before its body;
    // one without a length fails once it passes the bound, keeping the bytes
    // up to it. Either way the transfer ends with CURLE_FILESIZE_EXCEEDED (63).
    std::uint64_t maxBodySize = 0;

    // The most redirects a transfer follows, to http and https only; 0: none
    // (a 3xx answer is the reply). Past the bound the transfer ends with
    // CURLE_TOO_MANY_REDIRECTS (47), a redirect to another scheme with
    // CURLE_UNSUPPORTED_PROTOCOL (1). Credentials go only to the host asked
    // for, cookies only where they belong. The reply's url() and statusCode()
    // are then the final ones.
    int maxRedirects = 0;

    // "NetworkLimits:\n" and one "name:value\n" line per bound.
    std::string toString() const;
};

} // namespace tandrel
