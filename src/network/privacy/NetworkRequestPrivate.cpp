#include "network/privacy/NetworkRequestPrivate.h"

#include "network/CurlCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/privacy/Authentication.h"
#include "network/privacy/NetworkManagerPrivate.h"
#include "network/privacy/NetworkReplyPrivate.h"
#include "network/privacy/RedirectFollower.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace tandrel::privacy {

namespace {

const char* const formContentType = "application/x-www-form-urlencoded";

// An easy handle owned until a reply takes it over.
using EasyHandle = std::unique_ptr<CURL, void (*)(CURL*)>;

EasyHandle newEasyHandle()
{
    CURL* handle = curl_easy_init();
    if (handle == nullptr)
        throw std::error_code(-1, curl_category());
    return {handle, curl_easy_cleanup};
}

// A new reply around handle, made from the rest of the arguments. The reply
// owns the handle from the moment it exists; until then the guard does, so
// a throw while copying a callback loses nothing (a file is opened last).
template <class... Arguments>
std::shared_ptr<NetworkReply> makeReply(EasyHandle& handle, Arguments&&... arguments)
{
    auto* made = new NetworkReplyPrivate(handle.get(), std::forward<Arguments>(arguments)...);
    static_cast<void>(handle.release()); // made owns it
    const std::shared_ptr<NetworkReplyPrivate> d(made);
    return std::shared_ptr<NetworkReply>(new NetworkReply(d));
}

void throwIfFailed(CURLcode result)
{
    if (result != CURLE_OK)
        throw std::error_code(result, curl_category());
}

// libcurl opens the cookie file without a time limit: a FIFO or a device of
// that name would hold the worker, and stop(), for ever. Only a regular
// file, or none yet, is used.
bool cookieFileUsable()
{
    struct stat info = {};
    if (stat(cookieFileName, &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode);
}

// A method name as HTTP has it: one or more token characters.
bool isToken(const std::string& name)
{
    static const std::string marks = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || marks.find(c) != std::string::npos;
    });
}

} // namespace

NetworkRequestPrivate::NetworkRequestPrivate(std::shared_ptr<NetworkManager> manager)
    : manager(std::move(manager))
{
    requestHeaders.setHeader(NetworkHeaders::headerName(ContentType), formContentType);
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

int NetworkRequestPrivate::checkedTimeout() const
{
    // libcurl would take a negative limit as 49 days: a transfer without a
    // limit that a silent server keeps forever.
    const int limit = effectiveTimeout();
    const PhaseLimits& phases = transferLimits.phases;
    if (limit < 0 || phases.connectSeconds < 0 || phases.stallSeconds < 0)
        throw std::error_code(CURLE_BAD_FUNCTION_ARGUMENT, curl_category());
    return limit;
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
    return send(nullptr, done, url, body);
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::post(const CompletionCallback& done, const Url& url,
                                                          const std::shared_ptr<MultipartForm>& form)
{
    return send(nullptr, done, url, form);
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::send(const char* method, const CompletionCallback& done,
                                                          const Url& url, const std::string& body)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    NetworkReplyPrivate& r = *reply->d;
    // libcurl does not copy the body: it points into the reply's copy.
    r.setPostData(body);
    CURL* handle = r.easyHandle();
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POST, 1L));
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, r.postData().data()));
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(r.postData().size())));
    setupBodyTransfer(handle, r, method, false);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::send(const char* method, const CompletionCallback& done,
                                                          const Url& url, const std::shared_ptr<MultipartForm>& form)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done, true);
    CURL* handle = reply->d->easyHandle();
    // The caller's form is a curl_httppost list, which only this older option takes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    throwIfFailed(curl_easy_setopt(handle, CURLOPT_HTTPPOST, form ? form->head : nullptr));
#pragma GCC diagnostic pop
    setupBodyTransfer(handle, *reply->d, method, true);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::sendWithoutBody(const char* method, const CompletionCallback& done,
                                                                     const Url& url)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    throwIfFailed(curl_easy_setopt(reply->d->easyHandle(), CURLOPT_CUSTOMREQUEST, method));
    followRedirectsItself(reply->d->easyHandle(), *reply->d, method, false);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::head(const CompletionCallback& done, const Url& url)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    // The transfer ends with the head: no body is read, whatever its length.
    throwIfFailed(curl_easy_setopt(reply->d->easyHandle(), CURLOPT_NOBODY, 1L));
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::sendMethod(const std::string& method,
                                                                const CompletionCallback& done, const Url& url,
                                                                const std::string* body)
{
    if (!isToken(method) || method == "CONNECT" || (body != nullptr && method == "HEAD"))
        throw std::error_code(CURLE_BAD_FUNCTION_ARGUMENT, curl_category());
    if (body != nullptr)
        return send(method == "POST" ? nullptr : method.c_str(), done, url, *body);
    if (method == "GET")
        return get(done, url);
    if (method == "HEAD")
        return head(done, url);
    return sendWithoutBody(method.c_str(), done, url);
}

void NetworkRequestPrivate::setupBodyTransfer(CURL* handle, NetworkReplyPrivate& reply, const char* method,
                                              bool multipart)
{
    // The body goes out as a POST's does, under the method's own name.
    if (method != nullptr)
        throwIfFailed(curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method));
    followRedirectsItself(handle, reply, method != nullptr ? method : "POST", multipart);
    if (!uploadProgress)
        return;
    reply.setUploadProgress(uploadProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &reply);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &NetworkReplyPrivate::uploadSink);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

void NetworkRequestPrivate::followRedirectsItself(CURL* handle, NetworkReplyPrivate& reply, const char* method,
                                                  bool multipart)
{
    if (transferLimits.maxRedirects <= 0)
        return;
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(headerListMutex);
        lines = listedLines(multipart);
    }
    reply.setRedirectFollower(std::make_unique<RedirectFollower>(transferLimits.maxRedirects, method, std::move(lines),
                                                                 std::chrono::milliseconds(connectLimitMs()),
                                                                 authentication));
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::download(const ProgressCallback& progress,
                                                              const CompletionCallback& done, const Url& url,
                                                              const std::string& path, bool resume)
{
    std::shared_ptr<NetworkReply> reply = createFileReply(url, std::make_unique<BlockFile>(path), progress, done,
                                                          resume);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::download(const ProgressCallback& progress,
                                                              const CompletionCallback& done, const Url& url,
                                                              std::FILE* file)
{
    std::shared_ptr<NetworkReply> reply = createFileReply(url, std::make_unique<BlockFile>(file), progress, done);
    handIn(reply);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::stream(const ChunkCallback& chunk, const CompletionCallback& done,
                                                            const Url& url)
{
    std::shared_ptr<NetworkReply> reply = createReply(url, done);
    reply->d->setChunkCallback(chunk);
    // The body goes to the caller's chunks instead of memory.
    curl_easy_setopt(reply->d->easyHandle(), CURLOPT_WRITEFUNCTION, &NetworkReplyPrivate::chunkSink);
    handIn(reply);
    return reply;
}

void NetworkRequestPrivate::handIn(const std::shared_ptr<NetworkReply>& reply)
{
    manager->d->addReply(reply);
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::createReply(const Url& url, const CompletionCallback& done,
                                                                 bool multipart)
{
    // Read first: a Url or a time limit that fails leaves nothing behind.
    const std::string text = url.toString();
    const int limit = checkedTimeout();
    EasyHandle handle = newEasyHandle();
    std::shared_ptr<NetworkReply> reply = makeReply(handle, done, limit, manager);
    setupSinks(reply->d->easyHandle(), reply->d.get(), &NetworkReplyPrivate::bodySink);
    setupCommon(reply->d->easyHandle(), text, reply->d.get(), false);
    installHeaders(reply->d->easyHandle(), *reply->d, multipart);
    return reply;
}

std::shared_ptr<NetworkReply> NetworkRequestPrivate::createFileReply(const Url& url, std::unique_ptr<BlockFile> file,
                                                                     const ProgressCallback& progress,
                                                                     const CompletionCallback& done, bool resume)
{
    // Read first: a Url or a time limit that fails truncates no file.
    const std::string text = url.toString();
    const int limit = checkedTimeout();
    EasyHandle handle = newEasyHandle();
    std::shared_ptr<NetworkReply> reply = makeReply(handle, done, progress, std::move(file), limit, manager, resume);
    setupFileTransfer(reply->d->easyHandle(), text, reply->d.get());
    installHeaders(reply->d->easyHandle(), *reply->d, false);
    // Not CURLOPT_RESUME_FROM, which fails a 200 answer: the reply decides.
    if (const std::uint64_t from = reply->d->resumedFrom())
        curl_easy_setopt(reply->d->easyHandle(), CURLOPT_RANGE, (std::to_string(from) + "-").c_str());
    return reply;
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
    const long limitMs = NetworkReplyPrivate::limitMilliseconds(reply->timeoutSeconds());
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    if (NetworkTrace trace = ownTrace.callback ? ownTrace : manager->d->trace(); trace.callback) {
        reply->setTrace(std::move(trace));
        curl_easy_setopt(handle, CURLOPT_DEBUGDATA, reply);
        curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &NetworkReplyPrivate::traceSink);
        curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    }
    // No signals: libcurl's guard against SIGPIPE costs two sigaction calls
    // per transfer and call into libcurl, and is not needed, since libcurl
    // sends with MSG_NOSIGNAL (Windows has no SIGPIPE). Only a libcurl
    // without an asynchronous resolver needs a signal to time a lookup.
    static const bool asynchronousResolver = (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_ASYNCHDNS)
                                             != 0;
    if (asynchronousResolver)
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    setupSecurity(handle);
    setupProxy(handle);
    if (authentication.scheme != NetworkAuth::Scheme::none)
        installAuthentication(handle, authentication);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, std::min(limitMs, connectLimitMs()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limitMs);
    if (const PhaseLimits& phases = transferLimits.phases; phases.stallSeconds > 0) {
        constexpr auto fastest = static_cast<std::uint64_t>(std::numeric_limits<long>::max());
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT,
                         static_cast<long>(std::clamp<std::uint64_t>(phases.stallBytesPerSecond, 1, fastest)));
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(phases.stallSeconds));
    }
    const bool cookies = (cookieOptions.enableSendCookies || cookieOptions.enableRecvCookies) && cookieFileUsable();
    if (cookies && cookieOptions.enableSendCookies)
        curl_easy_setopt(handle, CURLOPT_COOKIEFILE, cookieFileName);
    if (cookies && cookieOptions.enableRecvCookies)
        curl_easy_setopt(handle, CURLOPT_COOKIEJAR, cookieFileName);
    if (download)
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    // Over TLS the server says at the handshake whether it takes HTTP/2,
    // which libcurl offers: transfers started meanwhile wait for that and
    // share the connection as streams, rather than each open another. (Over
    // plain HTTP nothing would end the wait but the busy connection's end.)
    if (url.compare(0, 6, "https:") == 0)
        curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
    if (transferLimits.maxRedirects > 0) {
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, static_cast<long>(transferLimits.maxRedirects));
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    }
    // "": every coding this libcurl decodes.
    if (compressed)
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    if (transferLimits.maxBodySize > 0 && !compressed) {
        // libcurl refuses a larger announced length before the body; the
        // reply's sinks hold the bound when no length is announced.
        constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max());
        const auto bound = static_cast<curl_off_t>(std::min(transferLimits.maxBodySize, largest));
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, bound);
    }
    // Compressed, the announced length is the coded one: only the sinks,
    // which see decoded bytes, hold the bound.
    if (transferLimits.maxBodySize > 0)
        reply->setMaxBodySize(transferLimits.maxBodySize);
}

NetworkProxy NetworkRequestPrivate::proxy() const
{
    return proxySet ? ownProxy : manager->d->proxy();
}

void NetworkRequestPrivate::setupProxy(CURL* handle) const
{
    using Kind = NetworkProxy::Kind;
    const NetworkProxy p = proxy();
    if (p.kind == Kind::none) {
        // "": no proxy, whatever the environment says.
        if (!p.fromEnvironment)
            curl_easy_setopt(handle, CURLOPT_PROXY, "");
        return;
    }
    const char* const schemes[] = {"", "http://", "https://", "socks5h://"};
    // A name in brackets is an IPv6 address.
    const bool v6 = p.host.find(':') != std::string::npos;
    const std::string address = schemes[static_cast<int>(p.kind)] + (v6 ? "[" + p.host + "]" : p.host) + ":"
                                + std::to_string(p.port);
    curl_easy_setopt(handle, CURLOPT_PROXY, address.c_str());
    if (!p.user.empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, p.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, p.password.c_str());
    }
    std::string bypass;
    for (const std::string& host : p.bypass)
        bypass += (bypass.empty() ? "" : ",") + host;
    if (!bypass.empty())
        curl_easy_setopt(handle, CURLOPT_NOPROXY, bypass.c_str());
    const NetworkSecurity& s = transportSecurity;
    curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYPEER, s.verifyPeer ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYHOST, s.verifyPeer ? 2L : 0L);
    if (!s.caFile.empty())
        curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO, s.caFile.c_str());
}

long NetworkRequestPrivate::connectLimitMs() const
{
    const int connect = transferLimits.phases.connectSeconds;
    return connect > 0 ? NetworkReplyPrivate::limitMilliseconds(connect) : std::numeric_limits<long>::max();
}

void NetworkRequestPrivate::setupSecurity(CURL* handle) const
{
    // Unless asked, the certificate is not checked: the tool's gateway has a
    // self-signed one, and the signature checker is its trust decision.
    const NetworkSecurity& s = transportSecurity;
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, s.verifyPeer ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, s.verifyPeer ? 2L : 0L);
    const std::pair<CURLoption, const std::string*> files[] = {
        {CURLOPT_CAINFO, &s.caFile},
        {CURLOPT_CAPATH, &s.caDirectory},
        {CURLOPT_PINNEDPUBLICKEY, &s.pinnedPublicKey},
        {CURLOPT_SSLCERT, &s.clientCertificate},
        {CURLOPT_SSLKEY, &s.clientKey},
    };
    for (const auto& [option, value] : files) {
        if (!value->empty())
            curl_easy_setopt(handle, option, value->c_str());
    }
}

void NetworkRequestPrivate::installHeaders(CURL* handle, NetworkReplyPrivate& reply, bool multipart) const
{
    std::shared_ptr<curl_slist> list;
    {
        std::lock_guard<std::mutex> lock(headerListMutex);
        if (!headerList || multipart != listedMultipart || requestHeaders.headers != listedHeaders) {
            headerList = makeHeaderList(listedLines(multipart));
            listedHeaders = requestHeaders.headers;
            listedMultipart = multipart;
        }
        list = headerList;
    }
    if (list)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.get());
    reply.adoptHeaderList(std::move(list));
}

std::vector<std::string> NetworkRequestPrivate::listedLines(bool multipart) const
{
    // With the default form Content-Type a multipart body would be announced
    // as url-encoded (and libcurl would mark each part an attachment); left
    // out, libcurl sends its own multipart/form-data line with the boundary.
    // A Content-Type the caller set is kept.
    const std::string formLine = NetworkHeaders::headerName(ContentType) + ": " + formContentType;
    std::vector<std::string> lines;
    for (const std::string& line : requestHeaders.headerLines()) {
        if (!multipart || line != formLine)
            lines.push_back(line);
    }
    return lines;
}

} // namespace tandrel::privacy
