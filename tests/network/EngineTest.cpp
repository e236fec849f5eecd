#include "network/NetworkManager.h"

#include "network/CurlCategory.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "support/Gateway.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <boost/process/child.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using tandrel::NetworkManager;
using tandrel::NetworkReply;
using tandrel::NetworkRequest;
using tandrel::Url;

namespace {

const std::error_code ok(0, tandrel::curl_category());
const std::error_code aborted(CURLE_ABORTED_BY_CALLBACK, tandrel::curl_category());
const std::string hello = "hello from the engine\n";

struct Call
{
    std::error_code ec;
    const NetworkReply* reply;
    std::thread::id thread;
};

// Completion calls as they arrive on the worker; shared so that a late call
// after a failed wait touches nothing that is gone.
class Calls
{
public:
    tandrel::CompletionCallback callback(std::function<void()> then = {}) const
    {
        auto s = state;
        return [s, then](const std::error_code& ec, std::shared_ptr<NetworkReply> reply) {
            {
                std::lock_guard<std::mutex> lock(s->mutex);
                s->calls.push_back({ec, reply.get(), std::this_thread::get_id()});
            }
            s->arrived.notify_all();
            if (then)
                then();
        };
    }

    // Whether count calls have arrived within 20 s.
    bool waitFor(std::size_t count) const
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->arrived.wait_for(lock, 20s, [&] { return state->calls.size() >= count; });
    }

    std::vector<Call> all() const
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->calls;
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<Call> calls;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

// Runs action on a detached thread; a hang then fails the test instead of stalling it.
bool endsWithin(std::chrono::seconds limit, std::function<void()> action)
{
    auto done = std::make_shared<std::promise<void>>();
    auto ended = done->get_future();
    std::thread([done, action] {
        action();
        done->set_value();
    }).detach();
    return ended.wait_for(limit) == std::future_status::ready;
}

// A blocking get on a thread of its own.
std::future<std::error_code> blockingGet(std::shared_ptr<NetworkRequest> request, const std::string& url)
{
    auto result = std::make_shared<std::promise<std::error_code>>();
    auto future = result->get_future();
    std::thread([request, url, result] {
        std::error_code ec;
        request->get(ec, Url(url));
        result->set_value(ec);
    }).detach();
    return future;
}

class Engine : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        root = new testing_support::TempDir;
        std::ofstream((root->path() / "hello.txt").string(), std::ios::binary) << hello;
        gateway = new testing_support::Gateway(root->path());
    }

    static void TearDownTestSuite()
    {
        delete gateway;
        delete root;
    }

    static std::string address(const std::string& path) { return gateway->url(path); }
    static Url url(const std::string& path) { return Url(address(path)); }

    static testing_support::TempDir* root;
    static testing_support::Gateway* gateway;

    std::shared_ptr<NetworkManager> manager = NetworkManager::create();
    std::shared_ptr<NetworkRequest> request = NetworkRequest::create(manager);
};

testing_support::TempDir* Engine::root = nullptr;
testing_support::Gateway* Engine::gateway = nullptr;

} // namespace

TEST_F(Engine, CompletionRunsOnceOnWorkerWithTheReturnedReply)
{
    Calls calls;
    const auto reply = request->get(calls.callback(), url("/hello.txt"));
    ASSERT_TRUE(calls.waitFor(1));

    // A later transfer on the same worker lets any duplicate call show up.
    std::error_code ec;
    request->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);

    const auto all = calls.all();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(ok, all[0].ec);
    EXPECT_EQ(reply.get(), all[0].reply);
    EXPECT_NE(std::this_thread::get_id(), all[0].thread);
    EXPECT_EQ(200, reply->statusCode());
    EXPECT_EQ(hello, reply->body());
}

TEST_F(Engine, TransferWithEmptyCompletionCallbackStillRuns)
{
    testing_support::TempDir work;
    const auto copy = work.path() / "copy.txt";
    request->download(tandrel::CompletionCallback(), url("/hello.txt"), copy.string());

    for (int i = 0; i < 200 && testing_support::readFile(copy) != hello; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(hello, testing_support::readFile(copy));
    std::error_code ec;
    request->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);
}

TEST_F(Engine, AbortedTransferNeverGetsItsCallback)
{
    request->setTimeout(2);
    Calls calls;
    const auto first = request->get(calls.callback(), url("/stall?after=10"));
    const auto second = request->get(calls.callback(), url("/stall?after=10"));
    std::this_thread::sleep_for(200ms);
    first->abort();
    manager->abortReply(second);
    second->abort();

    // Unaborted, both would have ended with a timeout by now.
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(0u, calls.all().size());
    std::error_code ec;
    request->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);
}

TEST_F(Engine, AbortAfterCompletionHasNoEffect)
{
    std::error_code ec;
    const auto reply = request->get(ec, url("/hello.txt"));
    ASSERT_EQ(ok, ec);
    reply->abort();
    manager->abortReply(reply);

    request->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);
    EXPECT_EQ(200, reply->statusCode());
    EXPECT_EQ(hello, reply->body());
}

TEST_F(Engine, StopDropsTransfersInFlightAndCancelsLaterOnes)
{
    Calls calls;
    std::vector<std::shared_ptr<NetworkReply>> running;
    for (int i = 0; i < 3; ++i)
        running.push_back(request->get(calls.callback(), url("/stall?after=10")));
    std::vector<std::future<std::error_code>> blocked;
    for (int i = 0; i < 3; ++i)
        blocked.push_back(blockingGet(NetworkRequest::create(manager), address("/stall?after=10")));
    std::this_thread::sleep_for(300ms);

    auto stopped = manager;
    ASSERT_TRUE(endsWithin(20s, [stopped] { stopped->stop(); }));
    for (auto& result : blocked) {
        ASSERT_EQ(std::future_status::ready, result.wait_for(20s));
        EXPECT_EQ(aborted, result.get());
    }

    // A stopped manager never runs again, not even for a request created afterwards.
    EXPECT_TRUE(request->get(calls.callback(), url("/hello.txt")));
    auto late = blockingGet(NetworkRequest::create(manager), address("/hello.txt"));
    ASSERT_EQ(std::future_status::ready, late.wait_for(20s));
    EXPECT_EQ(aborted, late.get());
    running.front()->abort();
    EXPECT_EQ(0u, calls.all().size());
}

TEST_F(Engine, StoppingOneManagerLeavesOthersRunning)
{
    const auto other = NetworkManager::create();
    const auto otherRequest = NetworkRequest::create(other);
    ASSERT_TRUE(endsWithin(20s, [other] { other->stop(); }));

    std::error_code ec;
    request->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);
    NetworkRequest::create(nullptr)->get(ec, url("/hello.txt"));
    EXPECT_EQ(ok, ec);
}

TEST_F(Engine, ThrowingCallbackDoesNotStrandOthersCompletedWithIt)
{
    Calls calls;
    const auto thrower = [] { throw std::runtime_error("deliberate"); };
    ::testing::internal::CaptureStderr();
    // Holding the worker in the first callback lets the others finish meanwhile,
    // so that their completions are handled together.
    request->get(calls.callback([] { std::this_thread::sleep_for(600ms); }),
                 url("/drip?chunks=2&size=10&interval_ms=200"));
    for (int i = 0; i < 5; ++i)
        request->get(calls.callback(thrower), url("/drip?chunks=2&size=10&interval_ms=400"));
    const bool all = calls.waitFor(6);
    const std::string errors = ::testing::internal::GetCapturedStderr();

    EXPECT_TRUE(all) << calls.all().size() << " of 6 callbacks";
    EXPECT_NE(std::string::npos, errors.find("Unhandle exception in NetworkManangerPrivate: deliberate\n")) << errors;
}

TEST_F(Engine, CallbackCanStartAnotherTransfer)
{
    auto second = std::make_shared<std::promise<std::error_code>>();
    auto chained = request;
    const std::string next = address("/hello.txt");
    request->get(
        [chained, second, next](const std::error_code&, std::shared_ptr<NetworkReply>) {
            chained->get([second](const std::error_code& ec, std::shared_ptr<NetworkReply>) { second->set_value(ec); },
                         Url(next));
        },
        url("/hello.txt"));

    auto result = second->get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(20s));
    EXPECT_EQ(ok, result.get());
}

TEST_F(Engine, LastManagerReferenceMayGoOnWorker)
{
    // Signals when the reply, and with it the completion callback, is destroyed.
    struct Guard
    {
        explicit Guard(std::shared_ptr<std::promise<void>> p)
            : released(std::move(p))
        {
        }
        ~Guard() { released->set_value(); }
        std::shared_ptr<std::promise<void>> released;
    };
    auto released = std::make_shared<std::promise<void>>();
    auto gone = released->get_future();
    std::weak_ptr<NetworkManager> watch;
    {
        const auto own = NetworkManager::create();
        watch = own;
        auto guard = std::make_shared<Guard>(released);
        NetworkRequest::create(own)->get([guard](const std::error_code&, std::shared_ptr<NetworkReply>) {},
                                         url("/drip?chunks=2&size=10&interval_ms=300"));
    }
    // Only the transfer holds the manager now.
    ASSERT_EQ(std::future_status::ready, gone.wait_for(20s));
    for (int i = 0; i < 200 && !watch.expired(); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(watch.expired());
}

#ifndef _WIN32
std::size_t openDescriptors()
{
    const fs::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, fs::directory_iterator()));
}

TEST_F(Engine, StoppedManagerReleasedOnAnotherWorkerIsDeletedThere)
{
    // A stopped manager's worker has been joined, and the C library gives its
    // thread id to the next thread it starts, often the next worker. The
    // last reference going there must still delete the engine (its multi
    // handle's descriptors show it), not leave it to a worker that is gone.
    std::error_code ec;
    request->get(ec, url("/hello.txt"));
    for (int round = 0; round < 5; ++round) {
        const std::size_t before = openDescriptors();
        {
            auto stopped = NetworkManager::create();
            NetworkRequest::create(stopped);
            stopped->stop();
            const auto next = NetworkManager::create();
            std::promise<void> released;
            NetworkRequest::create(next)->get(
                [&](const std::error_code&, std::shared_ptr<NetworkReply>) {
                    stopped.reset();
                    released.set_value();
                },
                url("/hello.txt"));
            ASSERT_EQ(std::future_status::ready, released.get_future().wait_for(20s));
            // Its worker lets go of the reply, so the engine goes with next.
            next->stop();
        }
        EXPECT_EQ(before, openDescriptors()) << "round " << round;
    }
}
#endif

// A program that returns from main with managers still running (see
// LeftRunning.cpp): exit stops them before libcurl and the TLS library clean
// up, so it ends at once and cleanly (the sanitizer runs fail it otherwise).
class ProcessExit : public Engine, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(ProcessExit, StopsManagersLeftRunningFirst)
{
    // A few times: a worker caught inside libcurl at the wrong moment is luck.
    for (int run = 0; run < 3; ++run) {
        const auto started = std::chrono::steady_clock::now();
        boost::process::child program(LEFT_RUNNING_PATH, GetParam(), address(""));
        EXPECT_EQ(0, testing_support::finish(program)) << "run " << run;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 9s) << "exit waited for a worker to end";
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, ProcessExit, ::testing::Values("released", "instance", "idle"));

TEST_F(Engine, AbortRacingCompletionCallsBackAtMostOnce)
{
    constexpr int rounds = 200;
    struct Counts
    {
        std::mutex mutex;
        std::vector<int> calls = std::vector<int>(rounds, 0);
    };
    auto counts = std::make_shared<Counts>();
    auto m = manager;
    auto r = request;
    const std::string target = address("/hello.txt");

    const bool finished = endsWithin(120s, [counts, m, r, target] {
        for (int i = 0; i < rounds; ++i) {
            const auto reply = r->get(
                [counts, i](const std::error_code&, std::shared_ptr<NetworkReply>) {
                    std::lock_guard<std::mutex> lock(counts->mutex);
                    ++counts->calls[i];
                },
                Url(target));
            std::this_thread::sleep_for(std::chrono::microseconds(250 * (i % 8)));
            if (i % 2)
                reply->abort();
            else
                m->abortReply(reply);
            if (i % 20 == 19) {
                std::error_code ec;
                r->get(ec, Url(target));
                EXPECT_EQ(ok, ec) << "round " << i;
            }
        }
    });
    ASSERT_TRUE(finished);

    std::lock_guard<std::mutex> lock(counts->mutex);
    for (int i = 0; i < rounds; ++i)
        EXPECT_LE(counts->calls[i], 1) << "round " << i;
}
