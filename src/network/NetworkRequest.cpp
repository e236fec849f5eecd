#include "network/NetworkRequest.h"

#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/privacy/NetworkRequestPrivate.h"

#include <utility>

namespace tandrel {

namespace {

// Starts a transfer with start(callback) and waits for its end, as the
// future form does: a transfer aborted or dropped by stop ends with
// CURLE_ABORTED_BY_CALLBACK, a set-up failure comes back in ec with an
// empty pointer.
template <class Start>
std::shared_ptr<NetworkReply> waitFor(std::error_code& ec, Start start)
{
    PendingTransfer pending(std::move(start));
    TransferResult result = pending.future().get();
    ec = result.ec;
    return std::move(result.reply);
}

// A transfer that start(request, done) starts on request when it is started.
template <class Start>
PendingTransfer later(std::shared_ptr<privacy::NetworkRequestPrivate> request, Start start)
{
    return PendingTransfer([request = std::move(request), start = std::move(start)](const CompletionCallback& done) {
        return start(*request, done);
    });
}

} // namespace

std::shared_ptr<NetworkRequest> NetworkRequest::create(std::shared_ptr<NetworkManager> manager)
{
    return std::shared_ptr<NetworkRequest>(new NetworkRequest(std::move(manager)));
}

NetworkRequest::NetworkRequest(std::shared_ptr<NetworkManager> manager)
    : d(new privacy::NetworkRequestPrivate(std::move(manager)))
{
}

NetworkRequest::~NetworkRequest() = default;

void NetworkRequest::setAuthentication(const NetworkAuth& auth)
{
    d->setAuthentication(auth);
}

NetworkAuth NetworkRequest::authentication() const
{
    return d->getAuthentication();
}

void NetworkRequest::setProxy(const NetworkProxy& proxy)
{
    d->setProxy(proxy);
}

NetworkProxy NetworkRequest::proxy() const
{
    return d->proxy();
}

void NetworkRequest::setTrace(const NetworkTrace& trace)
{
    d->setTrace(trace);
}

NetworkTrace NetworkRequest::trace() const
{
    return d->trace();
}

void NetworkRequest::setCompression(bool accept)
{
    d->setCompression(accept);
}

bool NetworkRequest::compression() const
{
    return d->compression();
}

void NetworkRequest::setTimeout(int seconds)
{
    d->setTimeout(seconds);
}

int NetworkRequest::timeout() const
{
    return d->timeout();
}

void NetworkRequest::setOptions(const NetworkOptions& options)
{
    d->setOptions(options);
}

NetworkOptions NetworkRequest::options() const
{
    return d->options();
}

void NetworkRequest::setLimits(const NetworkLimits& limits)
{
    d->setLimits(limits);
}

NetworkLimits NetworkRequest::limits() const
{
    return d->limits();
}

void NetworkRequest::setSecurity(const NetworkSecurity& security)
{
    d->setSecurity(security);
}

NetworkSecurity NetworkRequest::security() const
{
    return d->security();
}

void NetworkRequest::setUploadProgress(const ProgressCallback& progress)
{
    d->setUploadProgress(progress);
}

void NetworkRequest::setHeaders(const NetworkHeaders& headers)
{
    d->setHeaders(headers);
}

NetworkHeaders& NetworkRequest::headers()
{
    return d->headers();
}

std::string NetworkRequest::toString() const
{
    return d->toString();
}

std::shared_ptr<NetworkReply> NetworkRequest::get(const CompletionCallback& done, const Url& url)
{
    return d->get(done, url);
}

std::shared_ptr<NetworkReply> NetworkRequest::get(std::error_code& ec, const Url& url)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->get(done, url); });
}

std::shared_ptr<NetworkReply> NetworkRequest::post(const CompletionCallback& done, const Url& url,
                                                   const std::string& body)
{
    return d->post(done, url, body);
}

std::shared_ptr<NetworkReply> NetworkRequest::post(std::error_code& ec, const Url& url, const std::string& body)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->post(done, url, body); });
}

std::shared_ptr<NetworkReply> NetworkRequest::post(const CompletionCallback& done, const Url& url,
                                                   const FormFields& fields)
{
    return d->post(done, url, fields.join());
}

std::shared_ptr<NetworkReply> NetworkRequest::post(std::error_code& ec, const Url& url, const FormFields& fields)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->post(done, url, fields.join()); });
}

std::shared_ptr<NetworkReply> NetworkRequest::post(const CompletionCallback& done, const Url& url,
                                                   const std::shared_ptr<MultipartForm>& form)
{
    return d->post(done, url, form);
}

std::shared_ptr<NetworkReply> NetworkRequest::post(std::error_code& ec, const Url& url,
                                                   const std::shared_ptr<MultipartForm>& form)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->post(done, url, form); });
}

std::shared_ptr<NetworkReply> NetworkRequest::put(const CompletionCallback& done, const Url& url,
                                                  const std::string& body)
{
    return d->send("PUT", done, url, body);
}

std::shared_ptr<NetworkReply> NetworkRequest::put(std::error_code& ec, const Url& url, const std::string& body)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PUT", done, url, body); });
}

std::shared_ptr<NetworkReply> NetworkRequest::put(const CompletionCallback& done, const Url& url,
                                                  const FormFields& fields)
{
    return d->send("PUT", done, url, fields.join());
}

std::shared_ptr<NetworkReply> NetworkRequest::put(std::error_code& ec, const Url& url, const FormFields& fields)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PUT", done, url, fields.join()); });
}

std::shared_ptr<NetworkReply> NetworkRequest::put(const CompletionCallback& done, const Url& url,
                                                  const std::shared_ptr<MultipartForm>& form)
{
    return d->send("PUT", done, url, form);
}

std::shared_ptr<NetworkReply> NetworkRequest::put(std::error_code& ec, const Url& url,
                                                  const std::shared_ptr<MultipartForm>& form)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PUT", done, url, form); });
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(const CompletionCallback& done, const Url& url,
                                                    const std::string& body)
{
    return d->send("PATCH", done, url, body);
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(std::error_code& ec, const Url& url, const std::string& body)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PATCH", done, url, body); });
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(const CompletionCallback& done, const Url& url,
                                                    const FormFields& fields)
{
    return d->send("PATCH", done, url, fields.join());
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(std::error_code& ec, const Url& url, const FormFields& fields)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PATCH", done, url, fields.join()); });
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(const CompletionCallback& done, const Url& url,
                                                    const std::shared_ptr<MultipartForm>& form)
{
    return d->send("PATCH", done, url, form);
}

std::shared_ptr<NetworkReply> NetworkRequest::patch(std::error_code& ec, const Url& url,
                                                    const std::shared_ptr<MultipartForm>& form)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("PATCH", done, url, form); });
}

std::shared_ptr<NetworkReply> NetworkRequest::deleteResource(const CompletionCallback& done, const Url& url)
{
    return d->sendWithoutBody("DELETE", done, url);
}

std::shared_ptr<NetworkReply> NetworkRequest::deleteResource(std::error_code& ec, const Url& url)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->sendWithoutBody("DELETE", done, url); });
}

std::shared_ptr<NetworkReply> NetworkRequest::deleteResource(const CompletionCallback& done, const Url& url,
                                                             const std::string& body)
{
    return d->send("DELETE", done, url, body);
}

std::shared_ptr<NetworkReply> NetworkRequest::deleteResource(std::error_code& ec, const Url& url,
                                                             const std::string& body)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->send("DELETE", done, url, body); });
}

std::shared_ptr<NetworkReply> NetworkRequest::send(const CompletionCallback& done, const std::string& method,
                                                   const Url& url)
{
    return d->sendMethod(method, done, url, nullptr);
}

std::shared_ptr<NetworkReply> NetworkRequest::send(std::error_code& ec, const std::string& method, const Url& url)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->sendMethod(method, done, url, nullptr); });
}

std::shared_ptr<NetworkReply> NetworkRequest::send(const CompletionCallback& done, const std::string& method,
                                                   const Url& url, const std::string& body)
{
    return d->sendMethod(method, done, url, &body);
}

std::shared_ptr<NetworkReply> NetworkRequest::send(std::error_code& ec, const std::string& method, const Url& url,
                                                   const std::string& body)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->sendMethod(method, done, url, &body); });
}

std::shared_ptr<NetworkReply> NetworkRequest::head(const CompletionCallback& done, const Url& url)
{
    return d->head(done, url);
}

std::shared_ptr<NetworkReply> NetworkRequest::head(std::error_code& ec, const Url& url)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->head(done, url); });
}

std::shared_ptr<NetworkReply> NetworkRequest::stream(const ChunkCallback& chunk, const CompletionCallback& done,
                                                     const Url& url)
{
    return d->stream(chunk, done, url);
}

std::shared_ptr<NetworkReply> NetworkRequest::stream(std::error_code& ec, const ChunkCallback& chunk, const Url& url)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->stream(chunk, done, url); });
}

std::shared_ptr<NetworkReply> NetworkRequest::resume(const ProgressCallback& progress, const CompletionCallback& done,
                                                     const Url& url, const std::string& path)
{
    return d->download(progress, done, url, path, true);
}

std::shared_ptr<NetworkReply> NetworkRequest::resume(std::error_code& ec, const ProgressCallback& progress,
                                                     const Url& url, const std::string& path)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->download(progress, done, url, path, true); });
}

std::shared_ptr<NetworkReply> NetworkRequest::download(const CompletionCallback& done, const Url& url,
                                                       const std::string& path)
{
    return d->download(nullptr, done, url, path);
}

std::shared_ptr<NetworkReply> NetworkRequest::download(std::error_code& ec, const Url& url, const std::string& path)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->download(nullptr, done, url, path); });
}

std::shared_ptr<NetworkReply> NetworkRequest::download(const ProgressCallback& progress, const CompletionCallback& done,
                                                       const Url& url, const std::string& path)
{
    return d->download(progress, done, url, path);
}

std::shared_ptr<NetworkReply> NetworkRequest::download(std::error_code& ec, const ProgressCallback& progress,
                                                       const Url& url, const std::string& path)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->download(progress, done, url, path); });
}

std::shared_ptr<NetworkReply> NetworkRequest::download(const ProgressCallback& progress, const CompletionCallback& done,
                                                       const Url& url, std::FILE* file)
{
    return d->download(progress, done, url, file);
}

std::shared_ptr<NetworkReply> NetworkRequest::download(std::error_code& ec, const ProgressCallback& progress,
                                                       const Url& url, std::FILE* file)
{
    return waitFor(ec, [&](const CompletionCallback& done) { return d->download(progress, done, url, file); });
}

PendingTransfer NetworkRequest::get(const Url& url)
{
    return later(d,
                 [url](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) { return r.get(done, url); });
}

PendingTransfer NetworkRequest::post(const Url& url, const std::string& body)
{
    return later(d, [url, body](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.post(done, url, body);
    });
}

PendingTransfer NetworkRequest::post(const Url& url, const FormFields& fields)
{
    return later(d, [url, body = fields.join()](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.post(done, url, body);
    });
}

PendingTransfer NetworkRequest::post(const Url& url, const std::shared_ptr<MultipartForm>& form)
{
    return later(d, [url, form](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.post(done, url, form);
    });
}

PendingTransfer NetworkRequest::put(const Url& url, const std::string& body)
{
    return later(d, [url, body](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PUT", done, url, body);
    });
}

PendingTransfer NetworkRequest::put(const Url& url, const FormFields& fields)
{
    return later(d, [url, body = fields.join()](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PUT", done, url, body);
    });
}

PendingTransfer NetworkRequest::put(const Url& url, const std::shared_ptr<MultipartForm>& form)
{
    return later(d, [url, form](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PUT", done, url, form);
    });
}

PendingTransfer NetworkRequest::patch(const Url& url, const std::string& body)
{
    return later(d, [url, body](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PATCH", done, url, body);
    });
}

PendingTransfer NetworkRequest::patch(const Url& url, const FormFields& fields)
{
    return later(d, [url, body = fields.join()](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PATCH", done, url, body);
    });
}

PendingTransfer NetworkRequest::patch(const Url& url, const std::shared_ptr<MultipartForm>& form)
{
    return later(d, [url, form](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("PATCH", done, url, form);
    });
}

PendingTransfer NetworkRequest::deleteResource(const Url& url)
{
    return later(d, [url](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.sendWithoutBody("DELETE", done, url);
    });
}

PendingTransfer NetworkRequest::deleteResource(const Url& url, const std::string& body)
{
    return later(d, [url, body](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.send("DELETE", done, url, body);
    });
}

PendingTransfer NetworkRequest::head(const Url& url)
{
    return later(
        d, [url](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) { return r.head(done, url); });
}

PendingTransfer NetworkRequest::send(const std::string& method, const Url& url)
{
    return later(d, [method, url](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.sendMethod(method, done, url, nullptr);
    });
}

PendingTransfer NetworkRequest::send(const std::string& method, const Url& url, const std::string& body)
{
    return later(d, [method, url, body](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.sendMethod(method, done, url, &body);
    });
}

PendingTransfer NetworkRequest::stream(const ChunkCallback& chunk, const Url& url)
{
    return later(d, [chunk, url](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.stream(chunk, done, url);
    });
}

PendingTransfer NetworkRequest::download(const Url& url, const std::string& path)
{
    return later(d, [url, path](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.download(nullptr, done, url, path);
    });
}

PendingTransfer NetworkRequest::download(const Url& url, std::FILE* file)
{
    return later(d, [url, file](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.download(nullptr, done, url, file);
    });
}

PendingTransfer NetworkRequest::resume(const Url& url, const std::string& path)
{
    return later(d, [url, path](privacy::NetworkRequestPrivate& r, const CompletionCallback& done) {
        return r.download(nullptr, done, url, path, true);
    });
}

} // namespace tandrel
