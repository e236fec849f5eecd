#include "network/privacy/EpollTransferLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace tandrel::privacy {

namespace {

// Ready sockets taken per wait; more stay ready for the next one.
constexpr int maxEventsPerWait = 256;

// What curl_multi_assign keeps for a socket in the epoll set: only whether it is.
char inEpollSet;

unsigned epollEvents(int what)
{
    return ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0U) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0U);
}

// A hung-up socket is reported readable, so that libcurl reads its end.
int curlEvents(unsigned events)
{
    return ((events & (EPOLLIN | EPOLLHUP)) != 0 ? CURL_CSELECT_IN : 0)
           | ((events & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) | ((events & EPOLLERR) != 0 ? CURL_CSELECT_ERR : 0);
}

} // namespace

std::unique_ptr<EpollTransferLoop> EpollTransferLoop::create(CURLM* multi)
{
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return nullptr;
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wakeFd;
    if (wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0) {
        if (wakeFd >= 0)
            close(wakeFd);
        close(epollFd);
        return nullptr;
    }
    return std::unique_ptr<EpollTransferLoop>(new EpollTransferLoop(multi, epollFd, wakeFd));
}

EpollTransferLoop::EpollTransferLoop(CURLM* multi, int epollFd, int wakeFd)
    : multi(multi)
    , epollFd(epollFd)
    , wakeFd(wakeFd)
    , ready(maxEventsPerWait)
{
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &EpollTransferLoop::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &EpollTransferLoop::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

EpollTransferLoop::~EpollTransferLoop()
{
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, nullptr);
    close(wakeFd);
    close(epollFd);
}

int EpollTransferLoop::perform()
{
    for (int i = 0; i < readyCount; ++i) {
        const epoll_event& event = ready[i];
        if (event.data.fd == wakeFd) {
            std::uint64_t wakes = 0;
            if (read(wakeFd, &wakes, sizeof wakes) < 0) {
                // Already reset by an earlier read: nothing to clear.
            }
            continue;
        }
        act(event.data.fd, curlEvents(event.events));
    }
    readyCount = 0;
    if (Clock::now() >= timerDue) {
        timerDue = Clock::time_point::max();
        act(CURL_SOCKET_TIMEOUT, 0);
    }
    return running;
}

void EpollTransferLoop::wait(long maxWaitMs)
{
    long timeoutMs = maxWaitMs;
    if (timerDue != Clock::time_point::max()) {
        // Rounded up, so that the wait ends with the timer due, not just before it.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(timerDue - Clock::now()).count();
        timeoutMs = std::clamp<long>(static_cast<long>(left), 0, maxWaitMs);
    }
    readyCount = epoll_wait(epollFd, ready.data(), static_cast<int>(ready.size()), static_cast<int>(timeoutMs));
    readyCount = std::max(readyCount, 0); // interrupted: the next pass looks again
}

void EpollTransferLoop::wake()
{
    const std::uint64_t one = 1;
    if (write(wakeFd, &one, sizeof one) < 0) {
        // The counter is full: a wake is pending anyway.
    }
}

void EpollTransferLoop::act(curl_socket_t socket, int events)
{
    curl_multi_socket_action(multi, socket, events, &running);
}

int EpollTransferLoop::onSocket(CURL*, curl_socket_t socket, int what, void* loop, void* socketData)
{
    auto* self = static_cast<EpollTransferLoop*>(loop);
    if (what == CURL_POLL_REMOVE) {
        if (socketData != nullptr) {
            epoll_ctl(self->epollFd, EPOLL_CTL_DEL, socket, nullptr);
            curl_multi_assign(self->multi, socket, nullptr);
        }
        return 0;
    }
    epoll_event event{};
    event.events = epollEvents(what);
    event.data.fd = socket;
    if (socketData != nullptr) {
        epoll_ctl(self->epollFd, EPOLL_CTL_MOD, socket, &event);
    } else if (epoll_ctl(self->epollFd, EPOLL_CTL_ADD, socket, &event) == 0
               || (errno == EEXIST && epoll_ctl(self->epollFd, EPOLL_CTL_MOD, socket, &event) == 0)) {
        curl_multi_assign(self->multi, socket, &inEpollSet);
    }
    // A socket the set refuses (no memory for it) is never reported ready:
    // its transfer ends at its time limit. Returning -1 would fail them all.
    return 0;
}

int EpollTransferLoop::onTimer(CURLM*, long timeoutMs, void* loop)
{
    auto* self = static_cast<EpollTransferLoop*>(loop);
    self->timerDue = timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    return 0;
}

} // namespace tandrel::privacy
