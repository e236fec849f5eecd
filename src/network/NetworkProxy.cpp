#include "network/NetworkProxy.h"

namespace tandrel {

std::string NetworkProxy::toString() const
{
    const char* const kinds[] = {"none", "http", "https", "socks5"};
    std::string hosts;
    for (const std::string& host : bypass)
        hosts += (hosts.empty() ? "" : ",") + host;
    return "NetworkProxy:\nkind:" + std::string(kinds[static_cast<int>(kind)]) + "\nhost:" + host
           + "\nport:" + std::to_string(port) + "\nuser:" + user + "\nbypass:" + hosts
           + "\nfromEnvironment:" + (fromEnvironment ? "true" : "false") + "\n";
}

} // namespace tandrel
