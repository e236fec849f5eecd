#pragma once

#include <cstdint>
#include <string>

namespace tandrel {

// Bounds on what one transfer may take in, beside its time limit. Every
// bound is off (0) by default.
struct NetworkLimits
{
    // The most body bytes a transfer keeps, in memory or in its file, after
    // libcurl's decoding. A response announcing more fails before its body;
    // one without a length fails once it passes the bound, keeping the bytes
    // up to it. Either way the transfer ends with CURLE_FILESIZE_EXCEEDED (63).
    std::uint64_t maxBodySize = 0;

    // "NetworkLimits:\n" and one "name:value\n" line per bound.
    std::string toString() const;
};

} // namespace tandrel
