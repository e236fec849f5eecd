#pragma once

#include "network/Callbacks.h"

#include <functional>
#include <future>
#include <memory>
#include <system_error>

namespace tandrel {

class NetworkReply;

/// How a transfer ended: libcurl's code in curl_category() (0 whatever the
/// HTTP status; CURLE_ABORTED_BY_CALLBACK when it was aborted or its manager
/// stopped; a set-up failure's code, with no reply), and its reply.
struct TransferResult
{
    /// 0, libcurl's code, or a set-up failure's.
    std::error_code ec;
    /// The reply; null after a set-up failure.
    std::shared_ptr<NetworkReply> reply;
};

/// A transfer set up to start, as NetworkRequest's forms without a callback
/// or an error code return it: nothing happens until it is started, once,
/// by future(), by start(done), or by co_await (network/Awaitable.h). It
/// keeps its request alive, and reads the request's settings as it starts.
class PendingTransfer
{
public:
    /// starter starts the transfer with the callback it is given, as an
    /// asynchronous form does.
    using Starter = std::function<std::shared_ptr<NetworkReply>(const CompletionCallback&)>;

    /// A transfer that starter starts; NetworkRequest makes them.
    explicit PendingTransfer(Starter starter);

    /// Starts it as the asynchronous form does: done runs on the worker; a
    /// set-up failure is thrown as a std::error_code. Once only: again, it
    /// throws CURLE_BAD_FUNCTION_ARGUMENT.
    std::shared_ptr<NetworkReply> start(const CompletionCallback& done);

    /// Starts it; the future becomes ready when it ends, on the worker, or at
    /// once with a set-up failure. Waiting for it on the worker (in a
    /// callback) would wait for ever.
    std::future<TransferResult> future();

    /// The reply once started (to abort it with NetworkManager::abortReply);
    /// null before.
    std::shared_ptr<NetworkReply> reply() const { return started; }

private:
    Starter starter;
    std::shared_ptr<NetworkReply> started;
};

} // namespace tandrel
