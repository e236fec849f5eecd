#include "network/NetworkLimits.h"

namespace tandrel {

std::string PhaseLimits::toString() const
{
    return "PhaseLimits:\nconnectSeconds:" + std::to_string(connectSeconds) + "\nstallBytesPerSecond:"
           + std::to_string(stallBytesPerSecond) + "\nstallSeconds:" + std::to_string(stallSeconds) + "\n";
}

std::string NetworkLimits::toString() const
{
    return "NetworkLimits:\nmaxBodySize:" + std::to_string(maxBodySize)
           + "\nmaxRedirects:" + std::to_string(maxRedirects) + "\n";
}

} // namespace tandrel
