#include "network/privacy/EngineRegistry.h"

#include "network/privacy/NetworkManagerPrivate.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

namespace tandrel::privacy {

namespace {

// Threads whose workers are done: they only return and end.
void joinAll(std::vector<std::thread>& threads)
{
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace

EngineRegistry& EngineRegistry::instance()
{
    // Never destroyed: a worker late past the wait may still report.
    static auto* const engines = new EngineRegistry;
    static const ExitWait wait{*engines};
    return *engines;
}

EngineRegistry::EngineRegistry()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

template <class Change>
void EngineRegistry::update(NetworkManagerPrivate* engine, Change change)
{
    std::lock_guard<std::mutex> lock(mutex);
    change(busy[engine]);
    changed.notify_all();
}

void EngineRegistry::add(NetworkManagerPrivate* engine)
{
    update(engine, [](Busy&) {});
}

void EngineRegistry::workerStarted(NetworkManagerPrivate* engine)
{
    update(engine, [](Busy& b) { b.working = true; });
}

void EngineRegistry::workerEnded(NetworkManagerPrivate* engine)
{
    update(engine, [](Busy& b) { b.working = false; });
}

void EngineRegistry::destroying(NetworkManagerPrivate* engine)
{
    update(engine, [](Busy& b) { b.destroying = true; });
}

void EngineRegistry::remove(NetworkManagerPrivate* engine)
{
    std::lock_guard<std::mutex> lock(mutex);
    busy.erase(engine);
    changed.notify_all();
}

void EngineRegistry::handOver(std::thread self)
{
    std::vector<std::thread> earlier;
    {
        std::lock_guard<std::mutex> lock(mutex);
        earlier.swap(ending);
        ending.push_back(std::move(self));
    }
    joinAll(earlier);
}

EngineRegistry::ExitWait::~ExitWait()
{
    std::unique_lock<std::mutex> lock(engines.mutex);
    // While an engine is listed, its destruction has not finished. A worker
    // that ends the process from a callback can't wait for itself.
    const auto underWay = [](const auto& entry) {
        return (entry.second.working || entry.second.destroying) && !entry.first->onWorker();
    };
    for (const auto& entry : engines.busy) {
        if (underWay(entry) && !entry.second.destroying)
            entry.first->requestStop();
    }
    if (!engines.changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return std::none_of(engines.busy.begin(), engines.busy.end(), underWay); }))
        return;
    std::vector<std::thread> ended;
    ended.swap(engines.ending);
    lock.unlock();
    joinAll(ended);
}

} // namespace tandrel::privacy
