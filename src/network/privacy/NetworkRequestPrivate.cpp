#include "network/privacy/NetworkRequestPrivate.h"

#include "network/CurlCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/privacy/NetworkManagerPrivate.h"
#include "network/privacy/NetworkReplyPrivate.h"

#include <new>

namespace tandrel::privacy {

namespace {

CURL* newEasyHandle()
{
    CURL* handle = curl_easy_init();
    if (handle == nullptr)
        throw std::error_code(-1, curl_category());
    return handle;
}

void throwIfFailed(CURLcode result)
{
    if (result != CURLE_OK)
        throw std::error_code(result, curl_category());
}

} // namespace

NetworkRequestPrivate::NetworkRequestPrivate(std::shared_ptr<NetworkManager> manager)
    : manager(std::move(manager))
{
    requestHeaders.setHeader(NetworkHeaders::headerName(ContentType), "application/x-www-form-urlencoded");
    requestHeaders.setHeader(NetworkHeaders::headerName(UserAgent), "QMXClientType");
    if (!this->manager)
        this->manager = NetworkManager::instance();
    this->manager->d->start();
}

NetworkRequestPrivate::~NetworkRequestPrivate() = default;

void NetworkRequestPrivate::setTimeout(int value)
{
    if (value == 0)
        return;
    seconds = value;
    timeoutSet = true;
}

std::string NetworkRequestPrivate::toString() const
{
    return "request:\n" + requestHeaders.toString() + cookieOptions.toString();
}

int NetworkRequestPrivate::effectiveTimeout() const
{
    return timeoutSet ? seconds : manager->timeout();
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::get(const CompletionCallback& done, const Url& url)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::post(const CompletionCallback& done, const Url& url,
                                                          const std::string& body)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    NetworkReplyPrivate& r = *reply->d;
    // libcurl does not copy the body: it points into the reply's copy.
    r.setPostData(body);
    CURL* handle = r.easyHandle();
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POST, 1L));
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, r.postData().data()));
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(r.postData().size())));
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::post(const CompletionCallback& done, const Url& url,
                                                          const std::shared_ptr<MultipartForm>& form)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    // The caller's form is a curl_httppost list, which only this older option takes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    throwIfFailed(curl_easy_setopt(reply->d->easyHandle(), CURLOPT_HTTPPOST, form ? form->head : nullptr));
#pragma GCC diagnostic pop
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::download(const ProgressCallback& progress,
                                                              const CompletionCallback& done, const Url& url,
                                                              const std::string& path)
{
    std::shared_ptr<NetworkReply> reply = createFileReply(url, path, progress, done);
    handIn(reply);
    return reply;
}

void NetworkRequestPrivate::handIn(const std::shared_ptr<NetworkReply>& reply)
{
    manager->d->addReply(reply);
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::createReply(const Url& url, const CompletionCallback& done)
{
    // Read first: a Url that fails leaves nothing behind.
    const std::string text = url.toString();
    CURL* handle = newEasyHandle();
    auto d = std::shared_ptr<NetworkReplyPrivate>(new NetworkReplyPrivate(handle, done, effectiveTimeout(), manager));
    std::shared_ptr<NetworkReply> reply(new NetworkReply(d));
    setupTransfer(handle, text, d.get());
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::createFileReply(const Url& url, const std::string& path,
                                                                     const ProgressCallback& progress,
                                                                     const CompletionCallback& done)
{
    // Read first: a Url that fails truncates no file.
    const std::string text = url.toString();
    CURL* handle = newEasyHandle();
    auto d = std::shared_ptr<NetworkReplyPrivate>(
        new NetworkReplyPrivate(handle, done, progress, path, effectiveTimeout(), manager));
    std::shared_ptr<NetworkReply> reply(new NetworkReply(d));
    setupFileTransfer(handle, text, d.get());
    return reply;
}

void NetworkRequestPrivate::setupTransfer(CURL* handle, const std::string& url, NetworkReplyPrivate* reply)
{
    setupSinks(handle, reply, &NetworkReplyPrivate::bodySink);
    setupCommon(handle, url, reply, false);
}

void NetworkRequestPrivate::setupFileTransfer(CURL* handle, const std::string& url, NetworkReplyPrivate* reply)
{
    setupSinks(handle, reply, &NetworkReplyPrivate::fileSink);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, reply);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &NetworkReplyPrivate::progressSink);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    setupCommon(handle, url, reply, true);
}

void NetworkRequestPrivate::setupSinks(CURL* handle, NetworkReplyPrivate* reply, curl_write_callback bodySink)
{
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, reply);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, bodySink);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, reply);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &NetworkReplyPrivate::headerSink);
    curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
}

void NetworkRequestPrivate::setupCommon(CURL* handle, const std::string& url, NetworkReplyPrivate* reply, bool download)
{
    const long limitMs = static_cast<long>(effectiveTimeout()) * 1000;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    // The gateway's certificate is not checked: the signature checker is the trust decision.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    // libcurl would take a negative limit as 49 days: a transfer without a
    // limit that a silent server keeps forever. The set-up refuses it.
    if (limitMs < 0)
        throw std::error_code(CURLE_BAD_FUNCTION_ARGUMENT, curl_category());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limitMs);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limitMs);
    if (cookieOptions.enableSendCookies)
        curl_easy_setopt(handle, CURLOPT_COOKIEFILE, cookieFileName);
    if (cookieOptions.enableRecvCookies)
        curl_easy_setopt(handle, CURLOPT_COOKIEJAR, cookieFileName);
    if (download)
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);

    curl_slist* list = nullptr;
    for (const std::string& line : requestHeaders.headerLines()) {
        curl_slist* appended = curl_slist_append(list, line.c_str());
        if (appended == nullptr) {
            curl_slist_free_all(list);
            throw std::bad_alloc();
        }
        list = appended;
    }
    // The reply frees the list together with the handle that points at it.
    reply->adoptHeaderList(list);
    if (list != nullptr)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
}

} // namespace tandrel::privacy
