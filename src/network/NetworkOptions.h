#pragma once

#include <string>

namespace tandrel {

/// A request's cookie switches. Both use the cookie file "Cookies.txt" in the
/// current directory.
struct NetworkOptions
{
    /// Send the matching cookies read from the cookie file.
    bool enableSendCookies = true;
    /// Store the received cookies in the cookie file when a transfer ends.
    bool enableRecvCookies = false;

    /// `"NetworkOptions:\n"` and one `"name:true|false\n"` line per switch.
    std::string toString() const;
};

} // namespace tandrel
