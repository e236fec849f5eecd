#pragma once

#include <curl/curl.h>

#include <memory>

namespace tandrel::privacy {

// How an engine's worker drives its multi handle and sleeps between passes.
// Only the worker calls perform and wait; wake may be called from any thread,
// without a lock, and at process exit.
class TransferLoop
{
public:
    // The socket interface over epoll where the system has it, else
    // curl_multi_perform and curl_multi_poll. multi must outlive the loop.
    static std::unique_ptr<TransferLoop> create(CURLM* multi);

    virtual ~TransferLoop() = default;
    TransferLoop(const TransferLoop&) = delete;
    TransferLoop& operator=(const TransferLoop&) = delete;

    // Lets libcurl do what is due (sockets found ready by the last wait,
    // expired timers, handles just added); returns the transfers running.
    virtual int perform() = 0;
    // Sleeps until a socket is ready, libcurl's next timer, maxWaitMs or a
    // wake, whichever comes first.
    virtual void wait(long maxWaitMs) = 0;
    virtual void wake() = 0;

protected:
    TransferLoop() = default;
};

} // namespace tandrel::privacy
