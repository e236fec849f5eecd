#include "Roles.h"

#include "RawCurl.h"

#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <curl/curl.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto transferLimit = std::chrono::seconds(120);

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int number(const std::string& text)
{
    std::size_t used = 0;
    const int n = std::stoi(text, &used);
    if (used != text.size() || n <= 0)
        throw std::invalid_argument("not a positive number: " + text);
    return n;
}

struct SelfUse
{
    double cpuSeconds = 0;
    long long switches = 0;
};

SelfUse selfUse()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6,
            u.ru_nvcsw + u.ru_nivcsw};
}

// The process's CPU time and peak memory before its first transfer: the
// benchmark takes them off to see what the transfers cost.
void printBase()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("base_cpu_seconds %.4f\nbase_rss_kib %ld\n",
                u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6,
                u.ru_maxrss);
}

void raiseDescriptorLimit()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// Whether count connections at once fit under the descriptor limit, with
// room for the process's own few; if not, says so.
bool enoughDescriptors(int count)
{
    const rlim_t needed = static_cast<rlim_t>(count) + 64;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= needed)
        return true;
    std::printf("error the descriptor limit is %llu (hard %llu), below the %llu that %d connections need\n",
                static_cast<unsigned long long>(files.rlim_cur), static_cast<unsigned long long>(files.rlim_max),
                static_cast<unsigned long long>(needed), count);
    return false;
}

// Failed transfers, and what went wrong with the first.
struct Failures
{
    int count = 0;
    std::string first;

    void add(const std::string& what)
    {
        if (count++ == 0)
            first = what;
    }
    void print() const
    {
        std::printf("failed %d\n", count);
        if (count > 0)
            std::printf("first_failure %s\n", first.c_str());
    }
};

std::string failure(const std::string& error, long status, std::size_t bytes)
{
    return error + ", status " + std::to_string(status) + ", " + std::to_string(bytes) + " bytes";
}

void printIdle(const SelfUse& before, const SelfUse& after, double elapsed)
{
    std::printf("cpu_percent %.4f\n", 100 * (after.cpuSeconds - before.cpuSeconds) / elapsed);
    std::printf("switches_per_second %.2f\n", (after.switches - before.switches) / elapsed);
}

// ---- the tandrel client --------------------------------------------------

// Ends manager's worker from this thread. Otherwise, when the worker drops
// the last reply after this thread let go of the manager, the worker tears
// the engine down itself, detached, and may still be at it when the process
// exits.
void endWorker(tandrel::NetworkManager& manager)
{
    manager.stop();
}

// As the tool does it: the process-wide manager, a fresh request, and a
// progress callback that formats its line (kept, not printed).
int download(const std::string& url, const std::string& path)
{
    std::string line;
    unsigned long long calls = 0;
    const auto progress = [&](unsigned long long received, unsigned long long total) {
        line = "Download progress: " + std::to_string(received) + "/" + std::to_string(total) + "\r";
        ++calls;
    };
    std::error_code ec;
    const auto request = tandrel::NetworkRequest::create(nullptr);
    const auto reply = request->download(ec, progress, tandrel::Url(url), path);
    if (ec || !reply || reply->statusCode() != 200) {
        std::printf("error %s status %d progress_calls %llu\n", ec.message().c_str(), reply ? reply->statusCode() : 0,
                    calls);
        return 1;
    }
    std::printf("progress_calls %llu\n", calls);
    endWorker(*tandrel::NetworkManager::instance());
    return 0;
}

// What one copy into the page cache costs: MIB MiB written to a new file at
// path in aligned 64 KiB writes.
int writeFile(const std::string& path, int mib)
{
    const std::vector<char> block(64 << 10, 'x');
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
        std::printf("error cannot create %s\n", path.c_str());
        return 1;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    bool written = true;
    for (long long left = static_cast<long long>(mib) << 20; left > 0 && written; left -= block.size())
        written = std::fwrite(block.data(), block.size(), 1, file) == 1;
    return std::fclose(file) == 0 && written ? 0 : 1;
}

int idle(const std::string& url, int seconds)
{
    const auto manager = tandrel::NetworkManager::create();
    const auto request = tandrel::NetworkRequest::create(manager);
    std::error_code ec;
    const auto reply = request->get(ec, tandrel::Url(url));
    if (ec || !reply || reply->statusCode() != 200) {
        std::printf("error %s\n", ec.message().c_str());
        return 1;
    }
    const SelfUse before = selfUse();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = secondsSince(start);
    printIdle(before, selfUse(), elapsed);
    endWorker(*manager);
    return 0;
}

// The worker's loop before it slept in curl_multi_poll: perform, then a 100 µs wait.
int oldLoopIdle(int seconds)
{
    std::atomic<bool> done{false};
    std::promise<void> started;
    std::thread spinner([&] {
        CURLM* multi = curl_multi_init();
        std::mutex mutex;
        std::condition_variable condition;
        started.set_value();
        const auto deadline = Clock::now() + std::chrono::seconds(3 * seconds);
        std::unique_lock<std::mutex> lock(mutex);
        while (!done && Clock::now() < deadline) {
            int running = 0;
            curl_multi_perform(multi, &running);
            condition.wait_for(lock, std::chrono::microseconds(100));
        }
        curl_multi_cleanup(multi);
    });
    started.get_future().wait();
    const SelfUse before = selfUse();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = secondsSince(start);
    const SelfUse after = selfUse();
    done = true;
    spinner.join();
    printIdle(before, after, elapsed);
    return 0;
}

int many(const std::string& url, int count, long perHost)
{
    const auto manager = tandrel::NetworkManager::create();
    tandrel::ConnectionLimits limits;
    limits.perHost = perHost;
    manager->setConnectionLimits(limits);
    const auto request = tandrel::NetworkRequest::create(manager);
    const tandrel::Url target(url);
    std::mutex mutex;
    std::condition_variable allDone;
    int completed = 0;
    int failed = 0;
    Clock::time_point last;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        request->get(
            [&](const std::error_code& ec, std::shared_ptr<tandrel::NetworkReply> reply) {
                const bool good = !ec && reply->statusCode() == 200 && !reply->body().empty();
                std::lock_guard<std::mutex> lock(mutex);
                failed += good ? 0 : 1;
                if (++completed == count) {
                    last = Clock::now();
                    allDone.notify_all();
                }
            },
            target);
    }
    const double issued = secondsSince(start);
    std::unique_lock<std::mutex> lock(mutex);
    if (!allDone.wait_for(lock, transferLimit, [&] { return completed == count; })) {
        std::printf("error only %d of %d completed\n", completed, count);
        std::fflush(stdout);
        _exit(1); // the manager cannot be stopped cleanly with transfers stuck in it
    }
    lock.unlock();
    const double elapsed = std::chrono::duration<double>(last - start).count();
    std::printf("failed %d\nissue_seconds %.4f\nseconds %.4f\ncompletions_per_second %.1f\n", failed, issued, elapsed,
                count / elapsed);
    endWorker(*manager);
    return failed == 0 ? 0 : 1;
}

// Many slow transfers at once: what each costs while it mostly waits.
int manySlow(const std::string& url, int count, std::size_t size)
{
    if (!enoughDescriptors(count))
        return 1;
    const auto manager = tandrel::NetworkManager::create();
    const auto request = tandrel::NetworkRequest::create(manager);
    const tandrel::Url target(url);
    std::mutex mutex;
    std::condition_variable allDone;
    int completed = 0;
    Failures failures;
    Clock::time_point last;
    printBase();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        request->get(
            [&](const std::error_code& ec, std::shared_ptr<tandrel::NetworkReply> reply) {
                const int status = reply ? reply->statusCode() : 0;
                const std::size_t bytes = reply ? reply->body().size() : 0;
                std::lock_guard<std::mutex> lock(mutex);
                if (ec || status != 200 || bytes != size)
                    failures.add(failure(ec ? ec.message() : "no error", status, bytes));
                if (++completed == count) {
                    last = Clock::now();
                    allDone.notify_all();
                }
            },
            target);
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!allDone.wait_for(lock, transferLimit, [&] { return completed == count; })) {
        std::printf("error only %d of %d completed within %lld s\n", completed, count,
                    static_cast<long long>(transferLimit.count()));
        std::fflush(stdout);
        _exit(1); // the manager cannot be stopped cleanly with transfers stuck in it
    }
    lock.unlock();
    failures.print();
    std::printf("seconds %.4f\n", std::chrono::duration<double>(last - start).count());
    endWorker(*manager);
    return 0;
}

// ---- plain libcurl, the reference ----------------------------------------

int rawMany(const std::string& url, int count, long perHost)
{
    curl_slist* headers = defaultHeaders();
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, perHost);
    std::vector<std::unique_ptr<RawTransfer>> transfers;
    int failed = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        transfers.push_back(std::make_unique<RawTransfer>(url, headers));
        curl_multi_add_handle(multi, transfers.back()->handle);
    }
    const double issued = secondsSince(start);
    const bool finished = drive(multi, count, transferLimit,
                                [&](RawTransfer& t, CURLcode result) { failed += t.succeeded(result) ? 0 : 1; });
    const double elapsed = secondsSince(start);
    transfers.clear();
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    if (!finished) {
        std::printf("error not all transfers completed\n");
        return 1;
    }
    std::printf("failed %d\nissue_seconds %.4f\nseconds %.4f\ncompletions_per_second %.1f\n", failed, issued, elapsed,
                count / elapsed);
    return failed == 0 ? 0 : 1;
}

// The same slow transfers on a plain multi handle, driven through its
// socket interface on epoll or by perform + poll. Each transfer is freed as
// it ends, as the client frees its reply once the callback has run.
int rawSlow(const std::string& url, int count, std::size_t size, bool epoll)
{
    if (!enoughDescriptors(count))
        return 1;
    curl_slist* headers = defaultHeaders();
    CURLM* multi = curl_multi_init();
    std::unique_ptr<SocketLoop> loop;
    if (epoll)
        loop = std::make_unique<SocketLoop>(multi);
    std::unordered_map<RawTransfer*, std::unique_ptr<RawTransfer>> live;
    Failures failures;
    Clock::time_point last;
    printBase();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto transfer = std::make_unique<RawTransfer>(url, headers, true);
        curl_multi_add_handle(multi, transfer->handle);
        live.emplace(transfer.get(), std::move(transfer));
    }
    const auto done = [&](RawTransfer& t, CURLcode result) {
        if (!t.succeeded(result, size)) {
            long status = 0;
            curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &status);
            failures.add(failure(curl_easy_strerror(result), status, t.body.size()));
        }
        last = Clock::now();
        live.erase(&t);
    };
    const bool finished = epoll ? loop->run(count, transferLimit, done) : drive(multi, count, transferLimit, done);
    const int left = static_cast<int>(live.size());
    live.clear();
    loop.reset();
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    if (!finished) {
        std::printf("error only %d of %d completed within %lld s\n", count - left, count,
                    static_cast<long long>(transferLimit.count()));
        return 1;
    }
    failures.print();
    std::printf("seconds %.4f\n", std::chrono::duration<double>(last - start).count());
    return 0;
}

std::size_t byteCount(const std::string& text)
{
    std::size_t used = 0;
    const unsigned long long n = std::stoull(text, &used);
    if (used != text.size())
        throw std::invalid_argument("not a byte count: " + text);
    return static_cast<std::size_t>(n);
}

} // namespace

int runRole(const std::vector<std::string>& args)
{
    try {
        raiseDescriptorLimit();
        curl_global_init(CURL_GLOBAL_DEFAULT);
        const std::string role = args.empty() ? "" : args[0];
        const auto arg = [&](std::size_t i) -> const std::string& {
            if (i >= args.size())
                throw std::invalid_argument("role " + role + ": missing argument");
            return args[i];
        };
        int status = 2;
        if (role == "download")
            status = download(arg(1), arg(2));
        else if (role == "write-file")
            status = writeFile(arg(1), number(arg(2)));
        else if (role == "idle")
            status = idle(arg(1), number(arg(2)));
        else if (role == "old-loop-idle")
            status = oldLoopIdle(number(arg(1)));
        else if (role == "many")
            status = many(arg(1), number(arg(2)), args.size() > 3 ? number(arg(3)) : 0);
        else if (role == "raw-many")
            status = rawMany(arg(1), number(arg(2)), args.size() > 3 ? number(arg(3)) : 0);
        else if (role == "many-slow")
            status = manySlow(arg(1), number(arg(2)), byteCount(arg(3)));
        else if (role == "raw-slow-epoll" || role == "raw-slow-poll")
            status = rawSlow(arg(1), number(arg(2)), byteCount(arg(3)), role == "raw-slow-epoll");
        else
            std::printf("error unknown role '%s'\n", role.c_str());
        std::fflush(stdout);
        return status;
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        std::fflush(stdout);
        return 1;
    }
}

} // namespace bench
