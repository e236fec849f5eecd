#include "RawCurl.h"

#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

size_t append(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The client's test before it names its cookie file.
bool cookieFileUsable()
{
    struct stat info = {};
    if (stat("Cookies.txt", &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode);
}

} // namespace

RawTransfer::RawTransfer(const std::string& url, curl_slist* headers, bool cookieFile)
    : handle(curl_easy_init())
{
    if (handle == nullptr)
        throw std::runtime_error("curl_easy_init failed");
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &header);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &append);
    curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L); // as the client sets it (asynchronous resolver)
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 30000L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
    // As the client: over TLS, wait to share a connection being made.
    if (url.compare(0, 6, "https:") == 0)
        curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
    if (cookieFile && cookieFileUsable())
        curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "Cookies.txt");
}

RawTransfer::~RawTransfer()
{
    curl_easy_cleanup(handle);
}

bool RawTransfer::succeeded(CURLcode result) const
{
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return result == CURLE_OK && status == 200 && !body.empty();
}

bool RawTransfer::succeeded(CURLcode result, std::size_t size) const
{
    return succeeded(result) && body.size() == size;
}

curl_slist* defaultHeaders()
{
    curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    return curl_slist_append(list, "User-Agent: QMXClientType");
}

SocketLoop::SocketLoop(CURLM* multi)
    : multi(multi)
    , epollFd(epoll_create1(EPOLL_CLOEXEC))
{
    if (epollFd < 0)
        throw std::runtime_error("epoll_create1: " + std::string(std::strerror(errno)));
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &SocketLoop::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &SocketLoop::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

SocketLoop::~SocketLoop()
{
    // The multi handle may outlive the loop: closing its connections later
    // must not call back into it.
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, nullptr);
    close(epollFd);
}

int SocketLoop::onSocket(CURL*, curl_socket_t socket, int what, void* loop, void* known)
{
    SocketLoop& self = *static_cast<SocketLoop*>(loop);
    if (what == CURL_POLL_REMOVE) {
        // The socket may be closed already, which took it out of the set.
        epoll_ctl(self.epollFd, EPOLL_CTL_DEL, socket, nullptr);
        return 0;
    }
    epoll_event event{};
    event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
    event.data.fd = socket;
    // libcurl keeps the pointer assigned to a socket until it removes it: set
    // once the socket is in the set.
    if (known == nullptr) {
        if (epoll_ctl(self.epollFd, EPOLL_CTL_ADD, socket, &event) != 0 && errno == EEXIST)
            epoll_ctl(self.epollFd, EPOLL_CTL_MOD, socket, &event);
        curl_multi_assign(self.multi, socket, &self);
    } else if (epoll_ctl(self.epollFd, EPOLL_CTL_MOD, socket, &event) != 0 && errno == ENOENT) {
        epoll_ctl(self.epollFd, EPOLL_CTL_ADD, socket, &event);
    }
    return 0;
}

int SocketLoop::onTimer(CURLM*, long milliseconds, void* loop)
{
    SocketLoop& self = *static_cast<SocketLoop*>(loop);
    self.timerSet = milliseconds >= 0;
    if (self.timerSet)
        self.timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return 0;
}

bool SocketLoop::run(int transfers, std::chrono::seconds limit, const std::function<void(RawTransfer&, CURLcode)>& done)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    epoll_event events[256];
    int finished = 0;
    int running = 0;
    while (finished < transfers) {
        const auto now = Clock::now();
        if (now > deadline)
            return false;
        // Until the timer is due; at most a second, to look at the deadline.
        long long waitMs = 1000;
        if (timerSet) {
            const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(timerDue - now).count();
            waitMs = std::max(0LL, std::min<long long>(waitMs, due));
        }
        const int ready = epoll_wait(epollFd, events, sizeof events / sizeof events[0], static_cast<int>(waitMs));
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error("epoll_wait: " + std::string(std::strerror(errno)));
        for (int i = 0; i < ready; ++i) {
            const std::uint32_t e = events[i].events;
            // A hung-up socket is read, to see its end.
            const int mask = ((e & (EPOLLIN | EPOLLHUP)) != 0 ? CURL_CSELECT_IN : 0)
                             | ((e & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0)
                             | ((e & EPOLLERR) != 0 ? CURL_CSELECT_ERR : 0);
            curl_multi_socket_action(multi, events[i].data.fd, mask, &running);
        }
        // Cleared first: the call may set the timer again.
        if (timerSet && Clock::now() >= timerDue) {
            timerSet = false;
            curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }
        finished += takeFinished(multi, done);
    }
    return true;
}

} // namespace bench
