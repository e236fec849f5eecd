// Compares a tandrel download with the curl command line on the same local
// HTTPS server, and the idle cost of a manager's worker with the polling loop
// it replaced. Usage: download-benchmark [size in MiB, default 256]

#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"
#include "support/Gateway.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <boost/process.hpp>
#include <curl/curl.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;
namespace bp = boost::process;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int rounds = 3;  // odd, so the median is one of them
constexpr std::uintmax_t defaultMiB = 256;
constexpr auto processLimit = std::chrono::seconds(120);
constexpr auto idleWindow = std::chrono::seconds(3);

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// 0 unless text is a plain number of at most four digits.
std::uintmax_t parseMiB(const std::string& text)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoull(text);
}

void writeSource(const fs::path& file, std::uintmax_t size)
{
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 7 + i / 251) % 256);
    std::ofstream out(file.string(), std::ios::binary);
    for (std::uintmax_t left = size; left > 0;) {
        const auto n = std::min<std::uintmax_t>(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

// Like the tool: the process-wide manager, a fresh request, and a progress
// callback that formats its line (kept, not printed, so the table stays readable).
double timeTandrel(const std::string& url, const fs::path& target)
{
    std::string line;
    unsigned long long calls = 0;
    const auto progress = [&](unsigned long long received, unsigned long long total) {
        line = "Download progress: " + std::to_string(received) + "/" + std::to_string(total) + "\r";
        ++calls;
    };
    std::error_code ec;
    const auto start = Clock::now();
    const auto request = tandrel::NetworkRequest::create(nullptr);
    const auto reply = request->download(ec, progress, tandrel::Url(url), target.string());
    const auto elapsed = Clock::now() - start;
    if (ec || !reply || reply->statusCode() != 200)
        throw std::runtime_error("tandrel download failed: " + ec.message());
    if (calls == 0)
        throw std::runtime_error("tandrel download reported no progress");
    return seconds(elapsed);
}

double timeCurl(const fs::path& curl, const std::string& url, const fs::path& target)
{
    const auto start = Clock::now();
    bp::child child(curl, "-sk", "-o", target.string(), url, bp::std_in.close());
    // Polls rather than wait_for, which can miss an early exit and sleep the whole limit.
    while (child.running()) {
        if (Clock::now() - start > processLimit) {
            std::error_code ignored;
            child.terminate(ignored);
            throw std::runtime_error("curl did not finish within the time limit");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto elapsed = Clock::now() - start;
    if (child.exit_code() != 0)
        throw std::runtime_error("curl failed with exit code " + std::to_string(child.exit_code()));
    return seconds(elapsed);
}

std::set<std::string> threadIds()
{
    std::set<std::string> ids;
    for (const auto& entry : fs::directory_iterator("/proc/self/task"))
        ids.insert(entry.path().filename().string());
    return ids;
}

struct ThreadUse { double cpuSeconds = 0; long long switches = 0; };

ThreadUse threadUse(const std::string& tid)
{
    const fs::path dir = fs::path("/proc/self/task") / tid;
    std::ifstream statFile((dir / "stat").string());
    const std::string stat{std::istreambuf_iterator<char>(statFile), {}};
    // The name in parentheses may hold spaces; the fields after it cannot.
    const auto nameEnd = stat.rfind(')');
    std::istringstream rest(nameEnd == std::string::npos ? std::string() : stat.substr(nameEnd + 1));
    const std::vector<std::string> fields{std::istream_iterator<std::string>(rest), {}};
    if (fields.size() < 13)
        throw std::runtime_error("cannot read " + (dir / "stat").string());
    ThreadUse use;
    // utime and stime, the 14th and 15th fields; fields[0] is the 3rd.
    use.cpuSeconds = static_cast<double>(std::stoull(fields[11]) + std::stoull(fields[12])) / sysconf(_SC_CLK_TCK);
    std::ifstream status((dir / "status").string());
    for (std::string entry; std::getline(status, entry);) {
        if (entry.rfind("voluntary_ctxt_switches:", 0) == 0 || entry.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            use.switches += std::stoll(entry.substr(entry.find(':') + 1));
    }
    return use;
}

struct IdleCost { double cpuPercent = 0; double wakeupsPerSecond = 0; };

IdleCost measureIdle(const std::string& tid)
{
    const ThreadUse before = threadUse(tid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(idleWindow);
    const ThreadUse after = threadUse(tid);
    const double elapsed = seconds(Clock::now() - start);
    return {100 * (after.cpuSeconds - before.cpuSeconds) / elapsed,
            static_cast<double>(after.switches - before.switches) / elapsed};
}

IdleCost managerIdle(const testing_support::Gateway& gateway)
{
    const auto before = threadIds();
    const auto manager = tandrel::NetworkManager::create();
    const auto request = tandrel::NetworkRequest::create(manager);
    std::error_code ec;
    const auto reply = request->get(ec, tandrel::Url(gateway.url("/empty")));
    if (ec || !reply || reply->statusCode() != 200)
        throw std::runtime_error("GET /empty failed: " + ec.message());
    const auto after = threadIds();
    std::vector<std::string> appeared;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(appeared));
    if (appeared.size() != 1)
        throw std::runtime_error("expected one new worker thread, found " + std::to_string(appeared.size()));
    return measureIdle(appeared.front());
}

// The worker's loop before it slept in curl_multi_poll: perform, then a 100 µs wait.
IdleCost oldLoopIdle()
{
    std::promise<std::string> tid;
    std::atomic<bool> done{false};
    std::thread spinner([&] {
        CURLM* multi = curl_multi_init();
        std::mutex mutex;
        std::condition_variable condition;
        tid.set_value(std::to_string(syscall(SYS_gettid)));
        const auto deadline = Clock::now() + 3 * idleWindow;
        std::unique_lock<std::mutex> lock(mutex);
        while (!done && Clock::now() < deadline) {
            int running = 0;
            curl_multi_perform(multi, &running);
            condition.wait_for(lock, std::chrono::microseconds(100));
        }
        curl_multi_cleanup(multi);
    });
    IdleCost cost;
    std::exception_ptr failure;
    try {
        cost = measureIdle(tid.get_future().get());
    } catch (...) {
        failure = std::current_exception();
    }
    done = true;
    spinner.join();
    if (failure)
        std::rethrow_exception(failure);
    return cost;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::uintmax_t mib = argc > 1 ? parseMiB(argv[1]) : defaultMiB;
        if (argc > 2 || mib == 0 || mib > 8192)
            throw std::invalid_argument("usage: download-benchmark [size in MiB, 1..8192]");
        const std::uintmax_t size = mib << 20;
        const fs::path curl = bp::search_path("curl");
        if (curl.empty())
            throw std::runtime_error("curl not found on PATH");
        curl_global_init(CURL_GLOBAL_DEFAULT);

        testing_support::TempDir temp;
        const fs::path root = temp.path() / "root";
        const fs::path out = temp.path() / "out";
        fs::create_directories(root);
        fs::create_directories(out);
        writeSource(root / "payload.bin", size);
        testing_support::Gateway gateway(root);
        const std::string url = gateway.url("/payload.bin");

        std::vector<double> tandrelTimes, curlTimes;
        for (int round = 0; round < rounds; ++round) {
            // Alternates which goes first, so neither always follows the other.
            for (int turn = 0; turn < 2; ++turn) {
                const bool tandrelTurn = (round + turn) % 2 == 0;
                const fs::path target = out / (tandrelTurn ? "tandrel.bin" : "curl.bin");
                fs::remove(target);
                const double s = tandrelTurn ? timeTandrel(url, target) : timeCurl(curl, url, target);
                if (fs::file_size(target) != size)
                    throw std::runtime_error(target.filename().string() + " differs in size from the source");
                (tandrelTurn ? tandrelTimes : curlTimes).push_back(s);
            }
        }
        const double tandrelSeconds = median(tandrelTimes);
        const double curlSeconds = median(curlTimes);
        std::printf("Download of %ju MiB over HTTPS from 127.0.0.1, median of %d rounds\n", mib, rounds);
        std::printf("  %-28s %10s %10s\n", "", "seconds", "MiB/s");
        std::printf("  %-28s %10.3f %10.1f\n", "tandrel download", tandrelSeconds, mib / tandrelSeconds);
        std::printf("  %-28s %10.3f %10.1f\n", "curl -sk -o (reference)", curlSeconds, mib / curlSeconds);
        std::printf("  %-28s %10.2f\n\n", "time ratio tandrel / curl", tandrelSeconds / curlSeconds);
        std::fflush(stdout);

        const IdleCost worker = managerIdle(gateway);
        const IdleCost oldLoop = oldLoopIdle();
        std::printf("Idle thread over %lld s, after one request\n", static_cast<long long>(idleWindow.count()));
        std::printf("  %-28s %10s %10s\n", "", "CPU %", "wake-ups/s");
        std::printf("  %-28s %10.2f %10.1f\n", "tandrel worker", worker.cpuPercent, worker.wakeupsPerSecond);
        std::printf("  %-28s %10.2f %10.1f\n", "100 us loop (reference)", oldLoop.cpuPercent,
                    oldLoop.wakeupsPerSecond);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "download-benchmark: " << e.what() << std::endl;
        return 1;
    }
}
