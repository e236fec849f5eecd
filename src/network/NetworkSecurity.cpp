#include "network/NetworkSecurity.h"

namespace tandrel {

std::string NetworkSecurity::toString() const
{
    return std::string("NetworkSecurity:\nverifyPeer:") + (verifyPeer ? "true" : "false") + "\ncaFile:" + caFile
           + "\ncaDirectory:" + caDirectory + "\npinnedPublicKey:" + pinnedPublicKey
           + "\nclientCertificate:" + clientCertificate + "\nclientKey:" + clientKey + "\n";
}

} // namespace tandrel
