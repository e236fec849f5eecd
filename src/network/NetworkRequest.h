#pragma once

#include "network/Callbacks.h"
#include "network/FormFields.h"
#include "network/MultipartForm.h"
#include "network/NetworkAuth.h"
#include "network/NetworkHeaders.h"
#include "network/NetworkLimits.h"
#include "network/NetworkOptions.h"
#include "network/NetworkProxy.h"
#include "network/NetworkSecurity.h"
#include "network/NetworkTrace.h"
#include "network/PendingTransfer.h"
#include "network/Url.h"

#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

namespace tandrel {

class NetworkManager;
class NetworkReply;

namespace privacy {
class NetworkRequestPrivate;
} // namespace privacy

/// Starts transfers on a manager with shared settings: time limit, headers and
/// cookie switches, read at the moment each transfer starts.
///
/// Every transfer exists in two forms. The asynchronous one returns the reply
/// at once; its completion callback runs later on the manager's worker
/// thread. The blocking one waits for the transfer's end and returns its
/// result through ec: libcurl's code in curl_category(), 0 on success whatever
/// the HTTP status; CURLE_ABORTED_BY_CALLBACK when the transfer was aborted or
/// its manager stopped. Blocking forms must not be called on the worker thread.
///
/// Set-up failures are thrown by the asynchronous forms as a std::error_code
/// in curl_category() (-1: no libcurl handle; a POST option's CURLcode); the
/// blocking forms store them in ec and return an empty pointer.
class NetworkRequest : public std::enable_shared_from_this<NetworkRequest>
{
public:
    /// A request on manager, or on NetworkManager::instance() when it is empty.
    /// Starts the manager's worker if it never ran.
    static std::shared_ptr<NetworkRequest> create(std::shared_ptr<NetworkManager> manager);

    /// As create(), which is what callers use: a request lives in a std::shared_ptr.
    explicit NetworkRequest(std::shared_ptr<NetworkManager> manager);
    virtual ~NetworkRequest();

    ///@{
    /// The time limit in seconds of this request's transfers, connecting
    /// included; 0 is ignored. Without one the manager's default applies.
    /// A negative limit is kept, but transfers under it fail to start
    /// (CURLE_BAD_FUNCTION_ARGUMENT).
    void setTimeout(int seconds);
    int timeout() const;
    ///@}

    ///@{
    /// The cookie switches of transfers started afterwards (NetworkOptions' defaults until set).
    void setOptions(const NetworkOptions& options);
    NetworkOptions options() const;
    ///@}

    ///@{
    /// Bounds on what this request's transfers take in; none by default.
    /// Not part of the request's dump.
    void setLimits(const NetworkLimits& limits);
    NetworkLimits limits() const;
    ///@}

    ///@{
    /// How this request's transfers trust the server; nothing is checked by
    /// default. Not part of the request's dump.
    void setSecurity(const NetworkSecurity& security);
    NetworkSecurity security() const;
    ///@}

    ///@{
    /// The credentials of this request's transfers; none by default. Not
    /// part of the request's dump, and never in a dump at all.
    void setAuthentication(const NetworkAuth& auth);
    NetworkAuth authentication() const;
    ///@}

    ///@{
    /// The proxy of transfers started afterwards, this request's own once
    /// set (kind none: straight to the server), else its manager's. Not part
    /// of the request's dump.
    void setProxy(const NetworkProxy& proxy);
    NetworkProxy proxy() const;
    ///@}

    ///@{
    /// The trace of transfers started afterwards; without a callback, the
    /// manager's applies. None by default.
    void setTrace(const NetworkTrace& trace);
    NetworkTrace trace() const;
    ///@}

    ///@{
    /// Whether transfers started afterwards ask for compressed bodies
    /// (Accept-Encoding with every coding this libcurl decodes) and decode
    /// them; off by default, when no Accept-Encoding goes out. The body
    /// bound of setLimits counts decoded bytes.
    void setCompression(bool accept);
    bool compression() const;
    ///@}

    /// Called on the worker thread with (bytes sent, total to send) while a
    /// transfer with a body (post, put, patch, deleteResource with a body)
    /// started afterwards sends it, only while the total is known.
    void setUploadProgress(const ProgressCallback& progress);

    ///@{
    /// Defaults: "Content-Type: application/x-www-form-urlencoded" and
    /// "User-Agent: QMXClientType". An empty collection sends no header lines.
    void setHeaders(const NetworkHeaders& headers);
    NetworkHeaders& headers();
    ///@}

    /// `"request:\n"`, then the header and options dumps.
    std::string toString() const;

    ///@{
    /// GET, the body kept in the reply, in memory: for large bodies, stream
    /// or download, or bound it (NetworkLimits::maxBodySize).
    std::shared_ptr<NetworkReply> get(const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> get(std::error_code& ec, const Url& url);
    ///@}

    ///@{
    /// POST of body, sent with its exact length (NUL bytes included).
    std::shared_ptr<NetworkReply> post(const CompletionCallback& done, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> post(std::error_code& ec, const Url& url, const std::string& body);
    ///@}

    ///@{
    /// POST of fields joined by FormFields::join (not escaped).
    std::shared_ptr<NetworkReply> post(const CompletionCallback& done, const Url& url, const FormFields& fields);
    std::shared_ptr<NetworkReply> post(std::error_code& ec, const Url& url, const FormFields& fields);
    ///@}

    ///@{
    /// Multipart POST of the caller's list; the caller keeps it alive until the transfer is over.
    std::shared_ptr<NetworkReply> post(const CompletionCallback& done, const Url& url,
                                       const std::shared_ptr<MultipartForm>& form);
    std::shared_ptr<NetworkReply> post(std::error_code& ec, const Url& url, const std::shared_ptr<MultipartForm>& form);
    ///@}

    ///@{
    /// PUT and PATCH, with the body forms of post.
    std::shared_ptr<NetworkReply> put(const CompletionCallback& done, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> put(std::error_code& ec, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> put(const CompletionCallback& done, const Url& url, const FormFields& fields);
    std::shared_ptr<NetworkReply> put(std::error_code& ec, const Url& url, const FormFields& fields);
    std::shared_ptr<NetworkReply> put(const CompletionCallback& done, const Url& url,
                                      const std::shared_ptr<MultipartForm>& form);
    std::shared_ptr<NetworkReply> put(std::error_code& ec, const Url& url, const std::shared_ptr<MultipartForm>& form);
    std::shared_ptr<NetworkReply> patch(const CompletionCallback& done, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> patch(std::error_code& ec, const Url& url, const std::string& body);
    std::shared_ptr<NetworkReply> patch(const CompletionCallback& done, const Url& url, const FormFields& fields);
    std::shared_ptr<NetworkReply> patch(std::error_code& ec, const Url& url, const FormFields& fields);
    std::shared_ptr<NetworkReply> patch(const CompletionCallback& done, const Url& url,
                                        const std::shared_ptr<MultipartForm>& form);
    std::shared_ptr<NetworkReply> patch(std::error_code& ec, const Url& url,
                                        const std::shared_ptr<MultipartForm>& form);
    ///@}

    ///@{
    /// DELETE, without or with a body.
    std::shared_ptr<NetworkReply> deleteResource(const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> deleteResource(std::error_code& ec, const Url& url);
    std::shared_ptr<NetworkReply> deleteResource(const CompletionCallback& done, const Url& url,
                                                 const std::string& body);
    std::shared_ptr<NetworkReply> deleteResource(std::error_code& ec, const Url& url, const std::string& body);
    ///@}

    ///@{
    /// HEAD: the status and headers of the answer, no body read.
    std::shared_ptr<NetworkReply> head(const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> head(std::error_code& ec, const Url& url);
    ///@}

    ///@{
    /// Any method by its name, as given (HTTP's method names are
    /// case-sensitive), without or with a body: GET and HEAD without one and
    /// POST with one are get, head and post; any other is sent under its own
    /// name, a body as a post's is. The verbs after those above come through
    /// here. A name that is no HTTP token, CONNECT, or a HEAD with a body is
    /// refused with CURLE_BAD_FUNCTION_ARGUMENT (thrown by the asynchronous
    /// forms, in ec from the blocking ones).
    std::shared_ptr<NetworkReply> send(const CompletionCallback& done, const std::string& method, const Url& url);
    std::shared_ptr<NetworkReply> send(std::error_code& ec, const std::string& method, const Url& url);
    std::shared_ptr<NetworkReply> send(const CompletionCallback& done, const std::string& method, const Url& url,
                                       const std::string& body);
    std::shared_ptr<NetworkReply> send(std::error_code& ec, const std::string& method, const Url& url,
                                       const std::string& body);
    ///@}

    ///@{
    /// GET whose body goes to chunk, piece by piece, on the worker thread,
    /// instead of into the reply (whose body() stays empty): for bodies
    /// larger than memory. Its time limit slides as a download's does.
    /// chunk returning false ends the transfer with CURLE_ABORTED_BY_CALLBACK.
    std::shared_ptr<NetworkReply> stream(const ChunkCallback& chunk, const CompletionCallback& done, const Url& url);
    std::shared_ptr<NetworkReply> stream(std::error_code& ec, const ChunkCallback& chunk, const Url& url);
    ///@}

    ///@{
    /// A download that continues the file at path: asks for the bytes past
    /// its end, appends them when the server answers 206, starts over (the
    /// whole body replaces the file) on 200, and counts 416 on a file of the
    /// size the server names as done. Any other answer leaves the file as it
    /// was; a 206 for another range, or a 416 for another size, ends with
    /// CURLE_RANGE_ERROR. Without a file, or with an empty one, it is a
    /// download. Progress counts the bytes the file had. progress may be empty.
    std::shared_ptr<NetworkReply> resume(const ProgressCallback& progress, const CompletionCallback& done,
                                         const Url& url, const std::string& path);
    std::shared_ptr<NetworkReply> resume(std::error_code& ec, const ProgressCallback& progress, const Url& url,
                                         const std::string& path);
    ///@}

    ///@{
    /// GET into the file at path, which is created or truncated at once and
    /// written through that one stream until the transfer ends. A file that
    /// can't be opened fails the transfer with CURLE_WRITE_ERROR, even when
    /// the body is empty. The body is stored whatever the status; redirects
    /// are followed only as the request's limits say (by default none: a
    /// 3xx answer's body is what the file holds).
    std::shared_ptr<NetworkReply> download(const CompletionCallback& done, const Url& url, const std::string& path);
    std::shared_ptr<NetworkReply> download(std::error_code& ec, const Url& url, const std::string& path);
    std::shared_ptr<NetworkReply> download(const ProgressCallback& progress, const CompletionCallback& done,
                                           const Url& url, const std::string& path);
    std::shared_ptr<NetworkReply> download(std::error_code& ec, const ProgressCallback& progress, const Url& url,
                                           const std::string& path);
    ///@}

    ///@{
    /// GET into file, a stream the caller opened for writing in binary mode
    /// and keeps open until the transfer is over: the completion callback
    /// ran, or the blocking form returned. The body goes from the stream's
    /// position on, whatever the status; the stream is flushed at the end,
    /// never closed, and never written after. For a file that must be the
    /// one the caller made (opened without following links, say): nothing is
    /// opened by name. A null file fails the transfer with CURLE_WRITE_ERROR.
    /// progress may be empty.
    std::shared_ptr<NetworkReply> download(const ProgressCallback& progress, const CompletionCallback& done,
                                           const Url& url, std::FILE* file);
    std::shared_ptr<NetworkReply> download(std::error_code& ec, const ProgressCallback& progress, const Url& url,
                                           std::FILE* file);
    ///@}

    ///@{
    /// Every transfer above as a PendingTransfer, started later by future(),
    /// start(done) or co_await (network/Awaitable.h); the same set-up
    /// failures come from starting it. Without a progress callback: for one,
    /// use the asynchronous form.
    PendingTransfer get(const Url& url);
    PendingTransfer post(const Url& url, const std::string& body);
    PendingTransfer post(const Url& url, const FormFields& fields);
    PendingTransfer post(const Url& url, const std::shared_ptr<MultipartForm>& form);
    PendingTransfer put(const Url& url, const std::string& body);
    PendingTransfer put(const Url& url, const FormFields& fields);
    PendingTransfer put(const Url& url, const std::shared_ptr<MultipartForm>& form);
    PendingTransfer patch(const Url& url, const std::string& body);
    PendingTransfer patch(const Url& url, const FormFields& fields);
    PendingTransfer patch(const Url& url, const std::shared_ptr<MultipartForm>& form);
    PendingTransfer deleteResource(const Url& url);
    PendingTransfer deleteResource(const Url& url, const std::string& body);
    PendingTransfer head(const Url& url);
    PendingTransfer send(const std::string& method, const Url& url);
    PendingTransfer send(const std::string& method, const Url& url, const std::string& body);
    PendingTransfer stream(const ChunkCallback& chunk, const Url& url);
    PendingTransfer download(const Url& url, const std::string& path);
    PendingTransfer download(const Url& url, std::FILE* file);
    PendingTransfer resume(const Url& url, const std::string& path);
    ///@}

private:
    std::shared_ptr<privacy::NetworkRequestPrivate> d;
};

} // namespace tandrel
