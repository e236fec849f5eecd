#include "network/NetworkLimits.h"

namespace tandrel {

std::string NetworkLimits::toString() const
{
    return "NetworkLimits:\nmaxBodySize:" + std::to_string(maxBodySize)
           + "\nmaxRedirects:" + std::to_string(maxRedirects) + "\n";
}

} // namespace tandrel
