#pragma once

#include "network/Callbacks.h"
#include "network/MultipartForm.h"
#include "network/NetworkAuth.h"
#include "network/NetworkHeaders.h"
#include "network/NetworkLimits.h"
#include "network/NetworkOptions.h"
#include "network/NetworkProxy.h"
#include "network/NetworkSecurity.h"
#include "network/NetworkTrace.h"
#include "network/Url.h"

#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tandrel {

class NetworkManager;
class NetworkReply;

namespace privacy {

class BlockFile;
class NetworkReplyPrivate;

// A request's settings, and the set-up of each transfer started from it: a
// configured easy handle in a new reply, handed to the manager's engine.
class NetworkRequestPrivate : public std::enable_shared_from_this<NetworkRequestPrivate>
{
public:
    // An empty manager stands for NetworkManager::instance(). Starts the
    // manager's worker unless it ever ran.
    explicit NetworkRequestPrivate(std::shared_ptr<NetworkManager> manager);
    virtual ~NetworkRequestPrivate();
    NetworkRequestPrivate(const NetworkRequestPrivate&) = delete;
    NetworkRequestPrivate& operator=(const NetworkRequestPrivate&) = delete;

    void setTimeout(int value);
    int timeout() const { return seconds; }
    bool hasTimeout() const { return timeoutSet; }
    void setOptions(const NetworkOptions& options) { cookieOptions = options; }
    NetworkOptions options() const { return cookieOptions; }
    void setHeaders(const NetworkHeaders& headers) { requestHeaders = headers; }
    NetworkHeaders& headers() { return requestHeaders; }
    void setLimits(const NetworkLimits& limits) { transferLimits = limits; }
    NetworkLimits limits() const { return transferLimits; }
    void setSecurity(const NetworkSecurity& security) { transportSecurity = security; }
    NetworkSecurity security() const { return transportSecurity; }
    void setUploadProgress(const ProgressCallback& progress) { uploadProgress = progress; }
    void setAuthentication(const NetworkAuth& auth) { authentication = auth; }
    NetworkAuth getAuthentication() const { return authentication; }
    void setProxy(const NetworkProxy& proxy)
    {
        ownProxy = proxy;
        proxySet = true;
    }
    NetworkProxy proxy() const;
    void setTrace(const NetworkTrace& trace) { ownTrace = trace; }
    NetworkTrace trace() const { return ownTrace; }
    void setCompression(bool accept) { compressed = accept; }
    bool compression() const { return compressed; }
    std::string toString() const;

    std::shared_ptr<NetworkReply> get(const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> post(const CompletionCallback& done, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> post(const CompletionCallback& done, const Url& url,
                                       const std::shared_ptr<MultipartForm>& form);
    // With resume, a file already at path is continued (see NetworkReplyPrivate).
    std::shared_ptr<NetworkReply> download(const ProgressCallback& progress, const CompletionCallback& done,
                                           const Url& url, const std::string& path, bool resume = false);
    // A download into the caller's open stream.
    std::shared_ptr<NetworkReply> download(const ProgressCallback& progress, const CompletionCallback& done,
                                           const Url& url, std::FILE* file);
    // A GET whose body goes to chunk, piece by piece.
    std::shared_ptr<NetworkReply> stream(const ChunkCallback& chunk, const CompletionCallback& done, const Url& url);
    // A body sent as a POST's is, under method (POST when null).
    std::shared_ptr<NetworkReply> send(const char* method, const CompletionCallback& done, const Url& url,
                                       const std::string& body);
    std::shared_ptr<NetworkReply> send(const char* method, const CompletionCallback& done, const Url& url,
                                       const std::shared_ptr<MultipartForm>& form);
    // Any method by name: GET and HEAD without a body and POST with one as
    // get, head and post do; any other as a method of its own, with the body
    // when there is one. A name that is no HTTP token, CONNECT, or a HEAD
    // with a body is refused: throws CURLE_BAD_FUNCTION_ARGUMENT.
    std::shared_ptr<NetworkReply> sendMethod(const std::string& method, const CompletionCallback& done, const Url& url,
                                             const std::string* body);
    // A request without a body under method.
    std::shared_ptr<NetworkReply> sendWithoutBody(const char* method, const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> head(const CompletionCallback& done, const Url& url);

private:
    // A reply whose body is kept in memory, its handle set up but for the
    // method; a multipart body leaves out the default form Content-Type.
    std::shared_ptr<NetworkReply> createReply(const Url& url, const CompletionCallback& done, bool multipart = false);
    std::shared_ptr<NetworkReply> createFileReply(const Url& url, std::unique_ptr<BlockFile> file,
                                                  const ProgressCallback& progress, const CompletionCallback& done,
                                                  bool resume = false);
    void setupFileTransfer(CURL* handle, const std::string& url, NetworkReplyPrivate* reply);
    // The body and header sinks, bodySink receiving the body.
    void setupSinks(CURL* handle, NetworkReplyPrivate* reply, curl_write_callback bodySink);
    // The method, redirects and upload progress of a transfer with a body.
    void setupBodyTransfer(CURL* handle, NetworkReplyPrivate& reply, const char* method, bool multipart);
    // Has the client, not libcurl, follow a transfer's redirects when it
    // follows any: one with a body or a method of its own.
    void followRedirectsItself(CURL* handle, NetworkReplyPrivate& reply, const char* method, bool multipart);
    void setupSecurity(CURL* handle) const;
    void setupProxy(CURL* handle) const;
    // The connect phase's own limit; LONG_MAX without one.
    long connectLimitMs() const;
    // The options after the sinks, shared by both kinds of transfer.
    void setupCommon(CURL* handle, const std::string& url, NetworkReplyPrivate* reply, bool download);
    // The request's header lines as CURLOPT_HTTPHEADER, the list kept by
    // reply; for a multipart post without the default form Content-Type.
    void installHeaders(CURL* handle, NetworkReplyPrivate& reply, bool multipart) const;
    // The request's header lines; for a multipart body without the default
    // form Content-Type. Under headerListMutex.
    std::vector<std::string> listedLines(bool multipart) const;
    int effectiveTimeout() const;
    // The effective time limit, refused (thrown) when it or a phase limit is negative.
    int checkedTimeout() const;
    void handIn(const std::shared_ptr<NetworkReply>& reply);

    std::shared_ptr<NetworkManager> manager;
    int seconds = 30;
    bool timeoutSet = false;
    NetworkHeaders requestHeaders;
    NetworkOptions cookieOptions;
    NetworkLimits transferLimits;
    NetworkSecurity transportSecurity;
    ProgressCallback uploadProgress;
    bool compressed = false;
    NetworkTrace ownTrace;
    NetworkProxy ownProxy;
    bool proxySet = false;
    NetworkAuth authentication;
    // The header list last made, shared by the replies set up with it: made
    // again only when the headers (or the kind of body) change. Transfers
    // may be started from several threads at once.
    mutable std::mutex headerListMutex;
    mutable std::shared_ptr<curl_slist> headerList;
    mutable std::map<std::string, std::string> listedHeaders;
    mutable bool listedMultipart = false;
};

} // namespace privacy
} // namespace tandrel
