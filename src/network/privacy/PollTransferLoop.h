#pragma once

#include "network/privacy/TransferLoop.h"

namespace tandrel::privacy {

// The portable loop: curl_multi_perform over every transfer, then
// curl_multi_poll on all their sockets, woken by curl_multi_wakeup.
class PollTransferLoop : public TransferLoop
{
public:
    explicit PollTransferLoop(CURLM* multi);

    int perform() override;
    void wait(long maxWaitMs) override;
    void wake() override;

private:
    CURLM* multi;
};

} // namespace tandrel::privacy
