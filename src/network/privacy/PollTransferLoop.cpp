#include "network/privacy/PollTransferLoop.h"

namespace tandrel::privacy {

PollTransferLoop::PollTransferLoop(CURLM* multi)
    : multi(multi)
{
}

int PollTransferLoop::perform()
{
    int running = 0;
    curl_multi_perform(multi, &running);
    return running;
}

void PollTransferLoop::wait(long maxWaitMs)
{
    long timeoutMs = -1;
    curl_multi_timeout(multi, &timeoutMs);
    if (timeoutMs < 0 || timeoutMs > maxWaitMs)
        timeoutMs = maxWaitMs;
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeoutMs), nullptr);
}

void PollTransferLoop::wake()
{
    curl_multi_wakeup(multi);
}

} // namespace tandrel::privacy
