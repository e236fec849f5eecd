#include "network/NetworkOptions.h"

namespace tandrel {

std::string NetworkOptions::toString() const
{
    const auto text = [](bool on) { return on ? "true" : "false"; };
    return std::string("NetworkOptions:\n") + "enableSendCookies:" + text(enableSendCookies) + "\n"
           + "enableRecvCookies:" + text(enableRecvCookies) + "\n";
}

} // namespace tandrel
