#pragma once

#include "network/ConnectionLimits.h"
#include "network/NetworkProxy.h"
#include "network/NetworkTrace.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tandrel {

class NetworkReply;

namespace privacy {

class TransferLoop;

// The transfer engine of one NetworkManager: one libcurl multi handle and one
// worker thread, the only thread that drives it. Callers hand in configured
// replies (addReply) and aborts (abortReply) under the mutex and wake the
// worker; the worker adds the handles, performs them, finishes completed
// replies and calls their completion callbacks with no lock held.
class NetworkManagerPrivate : public std::enable_shared_from_this<NetworkManagerPrivate>
{
public:
    NetworkManagerPrivate();
    virtual ~NetworkManagerPrivate();
    // The deleter of the manager's shared pointer. When the last reference
    // goes on the engine's own worker (a finished reply held it), the worker
    // cannot wait for itself: it is told to stop and deletes the engine as
    // its last step.
    static void destroy(NetworkManagerPrivate* engine);
    NetworkManagerPrivate(const NetworkManagerPrivate&) = delete;
    NetworkManagerPrivate& operator=(const NetworkManagerPrivate&) = delete;

    // Launches the worker unless one was ever launched: a stopped engine
    // stays stopped.
    void start();
    // Queues reply's transfer. On a stopped engine (or one without a multi
    // handle) the transfer is cancelled at once instead.
    void addReply(std::shared_ptr<NetworkReply> reply);
    // Queues the removal of reply's transfer; no completion callback follows.
    // A reply of another manager is left alone.
    void abortReply(std::shared_ptr<NetworkReply> reply);
    // Ends the worker and drops the transfers in flight, then returns 0. On
    // the worker itself (from a callback) it only asks it to end.
    int stop();
    // Asks the worker to end and returns at once; takes no lock, so process
    // exit can call it whatever the engine's callers hold.
    void requestStop();
    // Whether the calling thread is this engine's worker, while it runs or
    // until it is joined (a joined worker's id may be reused).
    bool onWorker() const { return std::this_thread::get_id() == workerId.load(); }

    int timeout() const { return timeoutSeconds; }
    // 0 is ignored.
    void setTimeout(int seconds);
    // The default proxy; a request reads it as a transfer starts.
    void setProxy(const NetworkProxy& proxy);
    NetworkProxy proxy() const;
    // The default trace; a request reads it as a transfer starts.
    void setTrace(const NetworkTrace& trace);
    NetworkTrace trace() const;
    // Stored here; the worker hands them to the multi handle (only it may).
    void setConnectionLimits(const ConnectionLimits& limits);
    ConnectionLimits connectionLimits() const;

private:
    using Replies = std::vector<std::shared_ptr<NetworkReply>>;

    void run();
    void pass(int& expected);
    void waitForWork();
    int addPendingHandles();
    void applyConnectionLimits();
    void removeAbortedReplies();
    void endOverdueTransfers();
    Replies takeOverdueReplies(std::chrono::steady_clock::time_point now);
    long untilDeadlineCheckMs() const;
    std::shared_ptr<NetworkReply> takeReply(CURL* handle);
    void attachAgain(const std::shared_ptr<NetworkReply>& reply);
    void complete(CURLcode result, const std::shared_ptr<NetworkReply>& reply);
    void dropInFlight();
    void wake();

    std::condition_variable condition;
    mutable std::mutex mutex;
    std::map<CURL*, std::shared_ptr<NetworkReply>> replies;
    std::atomic<bool> stopRequested{false};
    CURLM* multiHandle = nullptr;
    // Drives multiHandle on the worker; null without a multi handle.
    std::unique_ptr<TransferLoop> loop;
    // Whether the loop was woken since the worker's pass began.
    std::atomic<bool> wakePending{false};
    std::atomic<int> timeoutSeconds{30};
    std::vector<CURL*> pendingHandles;
    // The worker's: the handles it takes from pendingHandles to attach.
    std::vector<CURL*> attaching;
    std::deque<std::shared_ptr<NetworkReply>> abortedReplies;
    ConnectionLimits limits;
    NetworkTrace defaultTrace;
    NetworkProxy defaultProxy;
    // Whether defaultProxy is other than none: as traced.
    std::atomic<bool> proxied{false};
    // Whether defaultTrace has a callback: a transfer without one of its own
    // then takes no lock to learn there is none.
    std::atomic<bool> traced{false};
    bool limitsChanged = false;
    // When the worker next looks for transfers past their deadline.
    std::chrono::steady_clock::time_point nextDeadlineCheck;
    bool launched = false;
    std::thread worker;
    std::atomic<std::thread::id> workerId{};
    std::mutex joinMutex;
    // Set on the worker when the engine's last reference went there.
    bool deleteOnExit = false;
};

} // namespace privacy
} // namespace tandrel
