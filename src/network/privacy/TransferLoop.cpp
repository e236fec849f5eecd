#include "network/privacy/TransferLoop.h"

#include "network/privacy/PollTransferLoop.h"

#ifdef __linux__
#include "network/privacy/EpollTransferLoop.h"
#endif

namespace tandrel::privacy {

std::unique_ptr<TransferLoop> TransferLoop::create(CURLM* multi)
{
#ifdef __linux__
    if (auto loop = EpollTransferLoop::create(multi))
        return loop;
#endif
    return std::make_unique<PollTransferLoop>(multi);
}

} // namespace tandrel::privacy
