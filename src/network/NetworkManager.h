#pragma once

#include "network/ConnectionLimits.h"
#include "network/NetworkProxy.h"
#include "network/NetworkTrace.h"

#include <memory>
#include <system_error>

namespace tandrel {

class NetworkReply;

namespace privacy {
class NetworkManagerPrivate;
class NetworkRequestPrivate;
} // namespace privacy

/// The cookie file every transfer reads and writes, relative to the current directory.
constexpr const char cookieFileName[] = "Cookies.txt";

/// Runs transfers: one engine with one worker thread and one libcurl multi
/// handle. Requests and replies hold their manager, so it lives as long as
/// any of them. Used only through std::shared_ptr.
class NetworkManager
{
public:
    /// The process-wide manager, created on first use; thread-safe.
    static std::shared_ptr<NetworkManager> instance();
    /// A new manager with an engine of its own: a thread (started by its
    /// first request) and connections of its own, so share one where you can.
    static std::shared_ptr<NetworkManager> create();

    NetworkManager();
    virtual ~NetworkManager();
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    ///@{
    /// The default time limit in seconds of transfers whose request sets none;
    /// 30 until changed. 0 is ignored; a negative limit is kept, but transfers
    /// under it fail to start (CURLE_BAD_FUNCTION_ARGUMENT).
    void setTimeout(int seconds);
    int timeout() const;
    ///@}

    ///@{
    /// The proxy of transfers whose request sets none; none by default.
    void setProxy(const NetworkProxy& proxy);
    NetworkProxy proxy() const;
    ///@}

    ///@{
    /// The trace of transfers whose request has none; none by default.
    void setTrace(const NetworkTrace& trace);
    NetworkTrace trace() const;
    ///@}

    ///@{
    /// Caps on this manager's connections; none by default. They apply from
    /// the worker's next pass on, to the transfers still to connect.
    void setConnectionLimits(const ConnectionLimits& limits);
    ConnectionLimits connectionLimits() const;
    ///@}

    /// Ends the worker and drops the transfers in flight: their completion
    /// callbacks never run, and blocking calls waiting on them return
    /// CURLE_ABORTED_BY_CALLBACK. A manager stopped once its worker has been
    /// launched (by the first request) never runs again; later transfers are
    /// cancelled the same way. Before the first request it has no effect.
    /// Waits for the worker to end, except on the worker itself (from a
    /// callback), where the worker ends once the callback returns.
    void stop();

    /// Cancels reply's transfer: the worker removes it and finishes the reply
    /// without calling its completion callback (a blocking call waiting on it
    /// returns CURLE_ABORTED_BY_CALLBACK). No effect once it has completed.
    void abortReply(std::shared_ptr<NetworkReply> reply);

    /// Deletes the cookie file. False when it could not be deleted, with errno
    /// in the generic category stored in *ec when ec is not null.
    static bool clearCookies(std::error_code* ec);

private:
    friend class privacy::NetworkManagerPrivate;
    friend class privacy::NetworkRequestPrivate;

    std::shared_ptr<privacy::NetworkManagerPrivate> d;
};

} // namespace tandrel
