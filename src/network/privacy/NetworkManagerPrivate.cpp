#include "network/privacy/NetworkManagerPrivate.h"

#include "network/CurlCategory.h"
#include "network/NetworkReply.h"
#include "network/privacy/NetworkReplyPrivate.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>

namespace tandrel::privacy {

namespace {

// The longest the idle worker sleeps when libcurl has no timer running; a
// hand-in or stop wakes it at once anyway.
constexpr int idleWaitMs = 1000;

// Writes the worker's one line about the exception being handled.
void reportCurrentException()
{
    try {
        throw;
    } catch (const std::exception& e) {
        std::cerr << "Unhandle exception in NetworkManangerPrivate: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Unknonw exception in NetworkManangerPrivate" << std::endl;
    }
}

// Engines deleting themselves on their own worker (their last reference went
// there). Process exit waits for them, a bounded time, so that their
// connections and TLS state are cleaned up before libcurl's and the TLS
// library's exit handlers run; otherwise exit can cut the worker short.
class SelfDeletions
{
public:
    // The one tracker, made on first use: after libcurl set itself up, so its
    // exit wait runs before their exit handlers.
    static SelfDeletions& instance()
    {
        // Never destroyed: a worker late past the wait may still report.
        static auto* const tracker = new SelfDeletions;
        static const ExitWait wait{*tracker};
        return *tracker;
    }

    void begin()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++pending;
    }

    void end()
    {
        std::lock_guard<std::mutex> lock(mutex);
        --pending;
        ended.notify_all();
    }

private:
    struct ExitWait
    {
        SelfDeletions& tracker;
        ~ExitWait()
        {
            std::unique_lock<std::mutex> lock(tracker.mutex);
            tracker.ended.wait_for(lock, std::chrono::seconds(10), [this] { return tracker.pending == 0; });
        }
    };

    std::mutex mutex;
    std::condition_variable ended;
    int pending = 0;
};

// The transfer will never complete: its file and handle go, then a blocking
// caller waiting on it is released (so it never sees the file still open).
void drop(NetworkReplyPrivate& reply)
{
    reply.discard();
    reply.cancel();
}

} // namespace

// Without a multi handle (libcurl out of memory) nothing can run: every
// transfer handed in is cancelled at once (see addReply).
NetworkManagerPrivate::NetworkManagerPrivate()
    : multiHandle(curl_multi_init())
{
}

NetworkManagerPrivate::~NetworkManagerPrivate()
{
    stop();
    if (onWorker() && worker.joinable())
        worker.detach();
    if (multiHandle != nullptr)
        curl_multi_cleanup(multiHandle);
    multiHandle = nullptr;
}

void NetworkManagerPrivate::destroy(NetworkManagerPrivate* engine)
{
    if (engine->onWorker()) {
        SelfDeletions::instance().begin();
        engine->stopRequested = true;
        engine->deleteOnExit = true;
    } else {
        delete engine;
    }
}

void NetworkManagerPrivate::start()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (launched)
        return;
    launched = true;
    stopRequested = false;
    worker = std::thread([this] { run(); });
    workerId = worker.get_id();
}

void NetworkManagerPrivate::addReply(std::shared_ptr<NetworkReply> reply)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopRequested && multiHandle != nullptr) {
            CURL* handle = reply->d->easyHandle();
            replies.emplace(handle, reply);
            pendingHandles.push_back(handle);
            reply = nullptr;
        }
    }
    if (reply)
        drop(*reply->d);
    else
        wake();
}

void NetworkManagerPrivate::abortReply(std::shared_ptr<NetworkReply> reply)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A stopped engine has dropped every transfer already; keeping the
        // reply would only keep its manager, and so this engine, alive.
        if (stopRequested)
            return;
        abortedReplies.push_back(std::move(reply));
    }
    wake();
}

int NetworkManagerPrivate::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!launched)
            return 0;
        stopRequested = true;
    }
    wake();
    if (!onWorker()) {
        std::lock_guard<std::mutex> joining(joinMutex);
        if (worker.joinable())
            worker.join();
    }
    return 0;
}

void NetworkManagerPrivate::setTimeout(int seconds)
{
    if (seconds != 0)
        timeoutSeconds = seconds;
}

void NetworkManagerPrivate::wake()
{
    if (multiHandle != nullptr)
        curl_multi_wakeup(multiHandle);
    condition.notify_all();
}

void NetworkManagerPrivate::run()
{
    if (multiHandle == nullptr) {
        // Nothing can run without a multi handle; hand-ins are refused.
        std::unique_lock<std::mutex> lock(mutex);
        condition.wait(lock, [this] { return stopRequested.load(); });
    }
    int expected = 0;
    while (!stopRequested) {
        try {
            pass(expected);
        } catch (...) {
            reportCurrentException();
        }
    }
    dropInFlight();
    // After this, nothing of the engine may be touched.
    if (deleteOnExit) {
        delete this;
        SelfDeletions::instance().end();
    }
}

void NetworkManagerPrivate::pass(int& expected)
{
    expected += addPendingHandles();
    removeAbortedReplies();

    int running = 0;
    curl_multi_perform(multiHandle, &running);
    if (running == expected) {
        if (!stopRequested)
            waitForWork();
        return;
    }

    expected = running;
    if (stopRequested)
        return;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multiHandle, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        // Read before takeReply: removing the handle invalidates the message.
        const CURLcode result = message->data.result;
        const std::shared_ptr<NetworkReply> reply = takeReply(message->easy_handle);
        if (!reply)
            continue;
        if (stopRequested) {
            drop(*reply->d);
            break;
        }
        complete(result, reply);
    }
}

void NetworkManagerPrivate::waitForWork()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!pendingHandles.empty() || !abortedReplies.empty())
            return;
    }
    // Sleeps on the transfers' sockets until they have data, libcurl's next
    // timer, or a wake-up from addReply, abortReply or stop.
    long timeoutMs = -1;
    curl_multi_timeout(multiHandle, &timeoutMs);
    if (timeoutMs < 0 || timeoutMs > idleWaitMs)
        timeoutMs = idleWaitMs;
    curl_multi_poll(multiHandle, nullptr, 0, static_cast<int>(timeoutMs), nullptr);
}

int NetworkManagerPrivate::addPendingHandles()
{
    std::lock_guard<std::mutex> lock(mutex);
    int count = 0;
    for (; !pendingHandles.empty(); pendingHandles.pop_front(), ++count)
        curl_multi_add_handle(multiHandle, pendingHandles.front());
    return count;
}

void NetworkManagerPrivate::removeAbortedReplies()
{
    Replies removed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (; !abortedReplies.empty(); abortedReplies.pop_front()) {
            const std::shared_ptr<NetworkReply>& reply = abortedReplies.front();
            CURL* handle = reply->d->easyHandle();
            const auto found = handle != nullptr ? replies.find(handle) : replies.end();
            // Only a transfer this engine still runs: one that finished, or
            // belongs to another manager, is left alone.
            if (found == replies.end() || found->second != reply)
                continue;
            replies.erase(found);
            // A handle aborted before it was attached must never be attached.
            pendingHandles.erase(std::remove(pendingHandles.begin(), pendingHandles.end(), handle),
                                 pendingHandles.end());
            curl_multi_remove_handle(multiHandle, handle);
            removed.push_back(reply);
        }
    }
    // Outside the lock: releasing the callbacks may run the caller's code.
    for (const auto& reply : removed) {
        reply->d->finish();
        reply->d->cancel();
    }
}

std::shared_ptr<NetworkReply> NetworkManagerPrivate::takeReply(CURL* handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = replies.find(handle);
    if (found == replies.end())
        return nullptr;
    std::shared_ptr<NetworkReply> reply = std::move(found->second);
    replies.erase(found);
    curl_multi_remove_handle(multiHandle, handle);
    return reply;
}

void NetworkManagerPrivate::complete(CURLcode result, const std::shared_ptr<NetworkReply>& reply)
{
    reply->d->finish();
    const CompletionCallback& done = reply->d->completionCallback();
    if (!done)
        return;
    // Caught here, not by the pass, so that the other transfers completed in
    // this pass still get their callbacks.
    try {
        done(std::error_code(reply->d->outcome(result), curl_category()), reply);
    } catch (...) {
        reportCurrentException();
    }
}

void NetworkManagerPrivate::dropInFlight()
{
    Replies dropped;
    std::deque<std::shared_ptr<NetworkReply>> aborted;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [handle, reply] : replies) {
            curl_multi_remove_handle(multiHandle, handle);
            dropped.push_back(std::move(reply));
        }
        replies.clear();
        pendingHandles.clear();
        aborted.swap(abortedReplies);
    }
    for (const auto& reply : dropped)
        drop(*reply->d);
}

} // namespace tandrel::privacy
