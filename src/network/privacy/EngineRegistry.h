#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tandrel::privacy {

class NetworkManagerPrivate;

// Every engine, with what of it is under way: its worker running, its
// destruction. Process exit tells the running workers to stop and waits, a
// bounded time, until nothing is under way: a worker inside libcurl, or an
// engine closing its connections, while libcurl's and the TLS library's exit
// handlers free their global state would use freed memory.
class EngineRegistry
{
public:
    // The one registry, made on first use. It sets libcurl up first, so its
    // exit wait runs before libcurl's and the TLS library's exit handlers.
    static EngineRegistry& instance();
    EngineRegistry(const EngineRegistry&) = delete;
    EngineRegistry& operator=(const EngineRegistry&) = delete;

    void add(NetworkManagerPrivate* engine);
    void workerStarted(NetworkManagerPrivate* engine);
    // The worker's last use of its engine.
    void workerEnded(NetworkManagerPrivate* engine);
    void destroying(NetworkManagerPrivate* engine);
    // The end of the engine's destruction.
    void remove(NetworkManagerPrivate* engine);

    // A worker about to delete its engine hands in its own thread, joined by
    // the next one to do so or at exit, so that no thread is still ending (its
    // thread-local TLS state freed by the TLS library) once exit goes on.
    void handOver(std::thread self);

private:
    struct Busy
    {
        bool working = false;
        bool destroying = false;
    };
    // At process exit: stops the running workers and waits for them.
    struct ExitWait
    {
        EngineRegistry& engines;
        ~ExitWait();
    };

    EngineRegistry();
    template <class Change>
    void update(NetworkManagerPrivate* engine, Change change);

    std::mutex mutex;
    std::condition_variable changed;
    std::map<NetworkManagerPrivate*, Busy> busy;
    std::vector<std::thread> ending;
};

} // namespace tandrel::privacy
