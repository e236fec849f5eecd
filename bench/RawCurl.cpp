#include "RawCurl.h"

#include <stdexcept>

namespace bench {

namespace {

size_t append(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

} // namespace

RawTransfer::RawTransfer(const std::string& url, curl_slist* headers)
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
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 30000L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
    // As the client: over TLS, wait to share a connection being made.
    if (url.compare(0, 6, "https:") == 0)
        curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
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

curl_slist* defaultHeaders()
{
    curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    return curl_slist_append(list, "User-Agent: QMXClientType");
}

} // namespace bench
