#pragma once

#include "network/privacy/TransferLoop.h"

#include <sys/epoll.h>

#include <chrono>
#include <vector>

namespace tandrel::privacy {

// Linux: libcurl's socket interface. libcurl names the sockets to watch
// (CURLMOPT_SOCKETFUNCTION) and when to call it back (CURLMOPT_TIMERFUNCTION);
// one epoll set holds those sockets and an eventfd for wakes, and
// curl_multi_socket_action runs only the transfers whose socket is ready or
// whose timer is due, so a pass costs what is ready, not what is running.
class EpollTransferLoop : public TransferLoop
{
public:
    // Null when the system refuses an epoll set or an eventfd.
    static std::unique_ptr<EpollTransferLoop> create(CURLM* multi);
    ~EpollTransferLoop() override;

    int perform() override;
    void wait(long maxWaitMs) override;
    void wake() override;

private:
    using Clock = std::chrono::steady_clock;

    EpollTransferLoop(CURLM* multi, int epollFd, int wakeFd);
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* loop, void* socketData);
    static int onTimer(CURLM* multi, long timeoutMs, void* loop);
    void act(curl_socket_t socket, int events);

    CURLM* multi;
    int epollFd;
    int wakeFd;
    int running = 0;
    // When libcurl wants its timer action; max() while it has none.
    Clock::time_point timerDue = Clock::time_point::max();
    // What the last wait found ready, and how many of them.
    std::vector<epoll_event> ready;
    int readyCount = 0;
};

} // namespace tandrel::privacy
