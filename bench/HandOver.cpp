// Hand-over latency, run by client-benchmark: COUNT small GETs one after
// another, timing the call to the first byte sent and the last byte received
// to the completion. A program of its own because it watches libcurl's socket
// calls (below), which the other workloads must not pay for.
//
// Usage: hand-over-latency tandrel|raw URL COUNT
//   tandrel  asynchronous get on a manager, completion callback on its worker
//   raw      a plain libcurl multi loop on the calling thread (the reference)
// Prints "key value" lines: medians and 90th percentiles in microseconds.

#include "RawCurl.h"

#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <curl/curl.h>

#include <dlfcn.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

// libcurl's socket calls pass through these before reaching the C library
// and note when the first byte of a transfer went out (connect or send) and
// when the last byte came in (recv). Only sockets connected to an IP address
// count: libcurl's wake-up socket pair goes through send and recv too.
namespace wire {

std::atomic<long long> firstOut{0}; // ns; 0 until the first byte after arm()
std::atomic<long long> lastIn{0};   // ns of the last recv that returned data
constexpr int maxFd = 1 << 16;
std::atomic<bool> tcp[maxFd];

long long now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void arm()
{
    firstOut = 0;
    lastIn = 0;
}

bool counts(int fd)
{
    return fd >= 0 && fd < maxFd && tcp[fd].load(std::memory_order_relaxed);
}

void wentOut()
{
    long long none = 0;
    firstOut.compare_exchange_strong(none, now());
}

template <class F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace wire

extern "C" int connect(int fd, const sockaddr* address, socklen_t length)
{
    static const auto real = wire::next<int (*)(int, const sockaddr*, socklen_t)>("connect");
    if (fd >= 0 && fd < wire::maxFd && address != nullptr
        && (address->sa_family == AF_INET || address->sa_family == AF_INET6)) {
        wire::tcp[fd] = true;
        wire::wentOut();
    }
    return real(fd, address, length);
}

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags)
{
    static const auto real = wire::next<ssize_t (*)(int, const void*, size_t, int)>("send");
    if (wire::counts(fd))
        wire::wentOut();
    return real(fd, data, length, flags);
}

extern "C" ssize_t recv(int fd, void* data, size_t length, int flags)
{
    static const auto real = wire::next<ssize_t (*)(int, void*, size_t, int)>("recv");
    const ssize_t got = real(fd, data, length, flags);
    if (got > 0 && wire::counts(fd))
        wire::lastIn = wire::now();
    return got;
}

extern "C" int close(int fd)
{
    static const auto real = wire::next<int (*)(int)>("close");
    if (fd >= 0 && fd < wire::maxFd)
        wire::tcp[fd].store(false, std::memory_order_relaxed);
    return real(fd);
}

namespace {

constexpr auto transferLimit = std::chrono::seconds(60);

// The sample at fraction q (0..1) of the sorted values.
double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * (values.size() - 1) + 0.5)];
}

struct Samples
{
    std::vector<double> out; // call to first byte out, us
    std::vector<double> in;  // last byte in to completion, us

    // Adds one transfer's times; false if it was not seen on the wire.
    bool add(long long start, long long doneAt)
    {
        if (wire::firstOut == 0 || wire::lastIn == 0)
            return false;
        out.push_back((wire::firstOut - start) / 1e3);
        in.push_back((doneAt - wire::lastIn) / 1e3);
        return true;
    }

    void print() const
    {
        std::printf("first_out_median_us %.1f\nfirst_out_p90_us %.1f\n", quantile(out, 0.5), quantile(out, 0.9));
        std::printf("last_in_median_us %.1f\nlast_in_p90_us %.1f\n", quantile(in, 0.5), quantile(in, 0.9));
    }
};

int tandrelClient(const std::string& url, int count)
{
    const auto manager = tandrel::NetworkManager::create();
    const auto request = tandrel::NetworkRequest::create(manager);
    const tandrel::Url target(url);
    Samples samples;
    for (int i = 0; i < count; ++i) {
        std::promise<std::pair<bool, long long>> finished;
        auto result = finished.get_future();
        wire::arm();
        const long long start = wire::now();
        request->get(
            [&finished](const std::error_code& ec, std::shared_ptr<tandrel::NetworkReply> reply) {
                const long long at = wire::now();
                finished.set_value({!ec && reply->statusCode() == 200, at});
            },
            target);
        if (result.wait_for(transferLimit) != std::future_status::ready) {
            std::printf("error transfer %d did not complete\n", i);
            std::fflush(stdout);
            _exit(1); // the manager cannot stop cleanly with a transfer stuck in it
        }
        const auto [good, doneAt] = result.get();
        if (!good || !samples.add(start, doneAt)) {
            std::printf("error transfer %d failed or was not seen on the wire\n", i);
            return 1;
        }
    }
    samples.print();
    // From this thread, so that the engine is not left to tear itself down,
    // detached, on its worker while the process exits.
    manager->stop();
    return 0;
}

int rawClient(const std::string& url, int count)
{
    curl_slist* headers = bench::defaultHeaders();
    CURLM* multi = curl_multi_init();
    Samples samples;
    int status = 0;
    for (int i = 0; i < count; ++i) {
        wire::arm();
        const long long start = wire::now();
        bench::RawTransfer transfer(url, headers);
        curl_multi_add_handle(multi, transfer.handle);
        long long doneAt = 0;
        bool good = false;
        const bool finished = bench::drive(multi, 1, transferLimit, [&](bench::RawTransfer& t, CURLcode result) {
            doneAt = wire::now();
            good = t.succeeded(result);
        });
        if (!finished || !good || !samples.add(start, doneAt)) {
            std::printf("error transfer %d failed or was not seen on the wire\n", i);
            status = 1;
            break;
        }
    }
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    if (status == 0)
        samples.print();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc != 4)
            throw std::invalid_argument("usage: hand-over-latency tandrel|raw URL COUNT");
        const std::string client = argv[1];
        const int count = std::stoi(argv[3]);
        if (count <= 0)
            throw std::invalid_argument("COUNT must be positive");
        curl_global_init(CURL_GLOBAL_DEFAULT);
        int status = 2;
        if (client == "tandrel")
            status = tandrelClient(argv[2], count);
        else if (client == "raw")
            status = rawClient(argv[2], count);
        else
            std::printf("error unknown client '%s'\n", client.c_str());
        std::fflush(stdout);
        return status;
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
}
