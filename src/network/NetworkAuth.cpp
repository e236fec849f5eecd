#include "network/NetworkAuth.h"

namespace tandrel {

std::string NetworkAuth::toString() const
{
    const char* const names[] = {"none", "basic", "digest", "bearer"};
    return "NetworkAuth:\nscheme:" + std::string(names[static_cast<int>(scheme)]) + "\nuser:" + user + "\n";
}

} // namespace tandrel
