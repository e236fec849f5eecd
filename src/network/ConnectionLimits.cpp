#include "network/ConnectionLimits.h"

namespace tandrel {

std::string ConnectionLimits::toString() const
{
    return "ConnectionLimits:\nperHost:" + std::to_string(perHost) + "\ntotal:" + std::to_string(total) + "\n";
}

} // namespace tandrel
