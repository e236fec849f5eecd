#pragma once

// The reference side of the benchmark: plain libcurl, driven the textbook
// way, with the options the tandrel client gives an in-memory get.

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace bench {

// One in-memory GET with the tandrel client's options for a get: body and
// header text collected in strings, certificate checks off, 30 s limits,
// the client's two default header lines (headers).
struct RawTransfer
{
    RawTransfer(const std::string& url, curl_slist* headers);
    ~RawTransfer();
    RawTransfer(const RawTransfer&) = delete;
    RawTransfer& operator=(const RawTransfer&) = delete;

    // result is CURLE_OK, the status 200 and the body not empty.
    bool succeeded(CURLcode result) const;

    CURL* handle;
    std::string body;
    std::string header;
};

// The tandrel client's default request header lines; free with curl_slist_free_all.
curl_slist* defaultHeaders();

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
        if (finished < transfers)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    return true;
}

} // namespace bench
