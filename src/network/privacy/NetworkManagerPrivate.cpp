#include "network/privacy/NetworkManagerPrivate.h"

#include "network/CurlCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/privacy/EngineRegistry.h"
#include "network/privacy/NetworkReplyPrivate.h"
#include "network/privacy/TransferLoop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace tandrel::privacy {

namespace {

// The longest the idle worker sleeps when libcurl has no timer running; a
// hand-in or stop wakes it at once anyway.
constexpr int idleWaitMs = 1000;

using Clock = std::chrono::steady_clock;

// How often the worker looks for transfers past their deadline (a walk over
// those in flight): each ends within about this much of it.
constexpr std::chrono::milliseconds deadlineCheckInterval{1000};

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

// The registry of engines comes first: it sets libcurl up, which on Windows
// the multi handle's wake-up sockets need, and so an engine kept by a static
// (the process-wide manager) is destroyed before libcurl's exit handlers run.
CURLM* newMultiHandle()
{
    EngineRegistry::instance();
    return curl_multi_init();
}

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
    : multiHandle(newMultiHandle())
    , loop(multiHandle != nullptr ? TransferLoop::create(multiHandle) : nullptr)
{
    EngineRegistry::instance().add(this);
}

NetworkManagerPrivate::~NetworkManagerPrivate()
{
    EngineRegistry& engines = EngineRegistry::instance();
    engines.destroying(this);
    stop();
    loop.reset();
    if (multiHandle != nullptr)
        curl_multi_cleanup(multiHandle);
    multiHandle = nullptr;
    engines.remove(this);
}

void NetworkManagerPrivate::destroy(NetworkManagerPrivate* engine)
{
    if (engine->onWorker()) {
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
    EngineRegistry::instance().workerStarted(this);
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
    // Only this engine's worker may read the reply's handle: another one
    // clears it when the transfer ends.
    if (reply->d->manager()->d.get() != this)
        return;
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
        if (worker.joinable()) {
            worker.join();
            // The C library hands a joined thread's id to new threads.
            workerId = std::thread::id();
        }
    }
    return 0;
}

void NetworkManagerPrivate::requestStop()
{
    stopRequested = true;
    wake();
}

void NetworkManagerPrivate::setTimeout(int seconds)
{
    if (seconds != 0)
        timeoutSeconds = seconds;
}

void NetworkManagerPrivate::setConnectionLimits(const ConnectionLimits& connectionLimits)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        limits = connectionLimits;
        limitsChanged = true;
    }
    wake();
}

void NetworkManagerPrivate::setProxy(const NetworkProxy& proxy)
{
    std::lock_guard<std::mutex> lock(mutex);
    defaultProxy = proxy;
    proxied = proxy.kind != NetworkProxy::Kind::none || proxy.fromEnvironment;
}

NetworkProxy NetworkManagerPrivate::proxy() const
{
    if (!proxied)
        return {};
    std::lock_guard<std::mutex> lock(mutex);
    return defaultProxy;
}

void NetworkManagerPrivate::setTrace(const NetworkTrace& trace)
{
    std::lock_guard<std::mutex> lock(mutex);
    defaultTrace = trace;
    traced = static_cast<bool>(trace.callback);
}

NetworkTrace NetworkManagerPrivate::trace() const
{
    if (!traced)
        return {};
    std::lock_guard<std::mutex> lock(mutex);
    return defaultTrace;
}

ConnectionLimits NetworkManagerPrivate::connectionLimits() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return limits;
}

void NetworkManagerPrivate::applyConnectionLimits()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!limitsChanged)
        return;
    limitsChanged = false;
    curl_multi_setopt(multiHandle, CURLMOPT_MAX_HOST_CONNECTIONS, limits.perHost);
    curl_multi_setopt(multiHandle, CURLMOPT_MAX_TOTAL_CONNECTIONS, limits.total);
}

// One wake per pass of the worker is enough: callers handing in many
// transfers at once make one system call, not one each. The worker clears
// the flag before it takes what was handed in (see pass), so a hand-in that
// finds it set is taken by that pass.
void NetworkManagerPrivate::wake()
{
    if (loop && !wakePending.exchange(true))
        loop->wake();
    condition.notify_all();
}

void NetworkManagerPrivate::run()
{
    if (multiHandle == nullptr) {
        // Nothing can run without a multi handle; hand-ins are refused.
        // requestStop sets the flag without the lock: look again now and then.
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopRequested)
            condition.wait_for(lock, std::chrono::milliseconds(idleWaitMs));
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
    EngineRegistry& engines = EngineRegistry::instance();
    if (deleteOnExit) {
        // Handed over while the engine is still listed, so that exit, which
        // waits for the engine's deletion, then joins this thread too.
        engines.handOver(std::move(worker));
        delete this;
    } else {
        // After this, nothing of the engine may be touched.
        engines.workerEnded(this);
    }
}

void NetworkManagerPrivate::pass(int& expected)
{
    wakePending = false;
    applyConnectionLimits();
    expected += addPendingHandles();
    removeAbortedReplies();
    endOverdueTransfers();

    const int running = loop->perform();
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
        CURLcode result = message->data.result;
        const std::shared_ptr<NetworkReply> reply = takeReply(message->easy_handle);
        if (!reply)
            continue;
        if (stopRequested) {
            drop(*reply->d);
            break;
        }
        if (reply->d->followRedirect(result))
            attachAgain(reply);
        else
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
    loop->wait(std::min<long>(idleWaitMs, untilDeadlineCheckMs()));
}

// Attached outside the lock, so that callers handing in more meanwhile do
// not wait for libcurl; only the worker removes handles, so none of these
// can be taken away before it is attached.
int NetworkManagerPrivate::addPendingHandles()
{
    attaching.clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        attaching.swap(pendingHandles);
    }
    for (CURL* handle : attaching)
        curl_multi_add_handle(multiHandle, handle);
    return static_cast<int>(attaching.size());
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

// libcurl's own timer does not run for a transfer waiting for a connection
// under a cap, which so waits as long as the one on the connection runs: for
// a download that keeps receiving, without end. So the engine ends each
// transfer past its deadline itself, as libcurl's timer would.
void NetworkManagerPrivate::endOverdueTransfers()
{
    const Clock::time_point now = Clock::now();
    if (now < nextDeadlineCheck)
        return;
    nextDeadlineCheck = now + deadlineCheckInterval;
    for (const auto& reply : takeOverdueReplies(now)) {
        if (stopRequested)
            drop(*reply->d);
        else
            complete(CURLE_OPERATION_TIMEDOUT, reply);
    }
}

NetworkManagerPrivate::Replies NetworkManagerPrivate::takeOverdueReplies(Clock::time_point now)
{
    Replies overdue;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto entry = replies.begin(); entry != replies.end();) {
        if (entry->second->d->deadline() > now) {
            ++entry;
            continue;
        }
        CURL* handle = entry->first;
        // Still pending if handed in after this pass attached the others.
        pendingHandles.erase(std::remove(pendingHandles.begin(), pendingHandles.end(), handle), pendingHandles.end());
        curl_multi_remove_handle(multiHandle, handle);
        overdue.push_back(std::move(entry->second));
        entry = replies.erase(entry);
    }
    return overdue;
}

// Rounded up, so that the wait ends with the look due rather than just before it.
long NetworkManagerPrivate::untilDeadlineCheckMs() const
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextDeadlineCheck - Clock::now());
    return std::max<long>(0, static_cast<long>(left.count()));
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

// Attached by the next pass, as a transfer handed in is.
void NetworkManagerPrivate::attachAgain(const std::shared_ptr<NetworkReply>& reply)
{
    std::lock_guard<std::mutex> lock(mutex);
    CURL* handle = reply->d->easyHandle();
    replies.emplace(handle, reply);
    pendingHandles.push_back(handle);
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
