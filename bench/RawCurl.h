#pragma once

// The reference side of the benchmark: plain libcurl, driven the textbook
// way, with the options the tandrel client gives an in-memory get.

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>

namespace bench {

// One in-memory GET with the tandrel client's options for a get: body and
// header text collected in strings, certificate checks off, 30 s limits,
// the client's two default header lines (headers). With cookieFile, also
// the client's default cookie file, as it names it for a get
// (CURLOPT_COOKIEFILE "Cookies.txt" in the current directory, read at the
// start of each transfer, when it is absent or a regular file).
struct RawTransfer
{
    RawTransfer(const std::string& url, curl_slist* headers, bool cookieFile = false);
    ~RawTransfer();
    RawTransfer(const RawTransfer&) = delete;
    RawTransfer& operator=(const RawTransfer&) = delete;

    // result is CURLE_OK, the status 200 and the body not empty.
    bool succeeded(CURLcode result) const;
    // The same with a body of exactly size bytes.
    bool succeeded(CURLcode result, std::size_t size) const;

    CURL* handle;
    std::string body;
    std::string header;
};

// The tandrel client's default request header lines; free with curl_slist_free_all.
curl_slist* defaultHeaders();

// Removes each transfer of multi that has finished and calls
// done(transfer, result) for it; returns how many there were.
template <class Done>
int takeFinished(CURLM* multi, const Done& done)
{
    int finished = 0;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        RawTransfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(multi, transfer->handle);
        done(*transfer, result);
        ++finished;
    }
    return finished;
}

// Drives multi (perform, read messages, poll) until `transfers` transfers
// have finished, calling done(transfer, result) after removing each from
// multi. False if limit passed first.
template <class Done>
bool drive(CURLM* multi, int transfers, std::chrono::seconds limit, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int finished = 0;
    while (finished < transfers) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        int running = 0;
        curl_multi_perform(multi, &running);
        finished += takeFinished(multi, done);
        if (finished < transfers)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    return true;
}

// Drives a multi handle the event-driven way: libcurl names the sockets to
// watch (CURLMOPT_SOCKETFUNCTION), which go into an epoll set, and when it
// next wants to be called (CURLMOPT_TIMERFUNCTION); each ready socket, with
// what it is ready for, and the expired timer go to curl_multi_socket_action.
// Made before the first handle is added, which already sets the timer.
class SocketLoop
{
public:
    explicit SocketLoop(CURLM* multi);
    ~SocketLoop();
    SocketLoop(const SocketLoop&) = delete;
    SocketLoop& operator=(const SocketLoop&) = delete;

    // As drive(): until `transfers` transfers have finished, calling
    // done(transfer, result) after removing each from the multi handle.
    // False if limit passed first.
    bool run(int transfers, std::chrono::seconds limit, const std::function<void(RawTransfer&, CURLcode)>& done);

private:
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* loop, void* known);
    static int onTimer(CURLM* multi, long milliseconds, void* loop);

    CURLM* multi;
    int epollFd;
    bool timerSet = false;
    std::chrono::steady_clock::time_point timerDue;
};

} // namespace bench
