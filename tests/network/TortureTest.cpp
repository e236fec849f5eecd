// The engine under many races, each loop bounded in count and in time. The
// gateway speaks plain HTTP here, so the rounds cost no TLS handshakes.
#include "network/NetworkManager.h"

#include "network/CurlCategory.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "support/Gateway.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tandrel::NetworkManager;
using tandrel::NetworkReply;
using tandrel::NetworkRequest;
using tandrel::Url;

namespace {

using Clock = std::chrono::steady_clock;

const std::error_code ok(0, tandrel::curl_category());
const std::error_code cancelled(CURLE_ABORTED_BY_CALLBACK, tandrel::curl_category());

class Torture : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        root = new testing_support::TempDir;
        gateway = new testing_support::Gateway(root->path(), "normal", testing_support::Gateway::Security::plain);
    }

    static void TearDownTestSuite()
    {
        delete gateway;
        delete root;
    }

    static Url url(const std::string& path)
    {
        return Url("http://127.0.0.1:" + std::to_string(gateway->port()) + path);
    }

    static testing_support::TempDir* root;
    static testing_support::Gateway* gateway;
};

testing_support::TempDir* Torture::root = nullptr;
testing_support::Gateway* Torture::gateway = nullptr;

// Counts the completion calls of one transfer.
struct Counter
{
    std::atomic<int> calls{0};

    tandrel::CompletionCallback callback()
    {
        return [this](const std::error_code&, std::shared_ptr<NetworkReply>) { ++calls; };
    }
};

} // namespace

TEST_F(Torture, AbortRacingCompletionCallsBackAtMostOnce)
{
    // Up to 10,000 races in batches. A blocking transfer after each batch
    // paces the rounds; the counts are shared, as a callback of the batch may
    // still run after it. Every fourth abort goes through another manager,
    // which leaves the transfer alone (and must not touch it while its own
    // worker finishes it).
    constexpr int batch = 50, most = 10000;
    const auto foreign = [](int race) { return race % batch % 4 == 3; };
    const auto calls = std::make_shared<std::vector<std::atomic<int>>>(most);
    const auto deadline = Clock::now() + 20s;
    const auto manager = NetworkManager::create();
    const auto request = NetworkRequest::create(manager);
    // Bounds the wait for the transfers left alone (a connection may wait
    // for the server's full accept queue).
    request->setTimeout(10);
    const auto other = NetworkManager::create();
    NetworkRequest::create(other);
    int races = 0;
    for (; races < most && Clock::now() < deadline; races += batch) {
        std::vector<std::shared_ptr<NetworkReply>> replies;
        for (int i = races; i < races + batch; ++i)
            replies.push_back(request->get(
                [calls, i](const std::error_code&, std::shared_ptr<NetworkReply>) { ++(*calls)[i]; }, url("/empty")));
        for (int i = 0; i < batch; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(37 * (i % 5)));
            if (foreign(i))
                other->abortReply(replies[i]);
            else
                replies[i]->abort();
        }
        std::error_code ec;
        request->get(ec, url("/empty"));
        ASSERT_EQ(ok, ec) << "after " << races << " races";
    }
    const auto foreignDone = [&] {
        for (int i = 0; i < races; ++i) {
            if (foreign(i) && (*calls)[i] == 0)
                return false;
        }
        return true;
    };
    for (int i = 0; i < 150 && !foreignDone(); ++i)
        std::this_thread::sleep_for(100ms);
    // Once the worker has ended, nothing can call back any more.
    manager->stop();
    for (int i = 0; i < races; ++i) {
        ASSERT_LE((*calls)[i], 1) << "race " << i;
        if (foreign(i)) {
            ASSERT_EQ(1, (*calls)[i]) << "race " << i;
        }
    }
    RecordProperty("races", races);
}

TEST_F(Torture, StopWithTransfersInFlightReleasesEveryWaiter)
{
    const auto deadline = Clock::now() + 20s;
    int stops = 0;
    for (; stops < 100 && Clock::now() < deadline; ++stops) {
        const auto manager = NetworkManager::create();
        const auto request = NetworkRequest::create(manager);
        Counter stalled;
        const auto reply = request->get(stalled.callback(), url("/stall?after=10"));
        auto waiter = std::async(std::launch::async, [&] {
            std::error_code ec;
            request->get(ec, url("/stall?after=10"));
            return ec;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(stops % 4));
        manager->stop();
        ASSERT_EQ(std::future_status::ready, waiter.wait_for(20s)) << "stop " << stops;
        EXPECT_EQ(cancelled, waiter.get());
        EXPECT_EQ(0, stalled.calls);
    }
    RecordProperty("stops", stops);
}

TEST_F(Torture, BlockingCallsRacingStopFromAnotherThreadAllReturn)
{
    for (int round = 0; round < 20; ++round) {
        const auto manager = NetworkManager::create();
        const auto request = NetworkRequest::create(manager);
        std::vector<std::future<int>> callers;
        for (int i = 0; i < 4; ++i)
            callers.push_back(std::async(std::launch::async, [&request] {
                // Completed transfers until the stop cancels one (or the next ones).
                int completed = 0;
                for (std::error_code ec; completed < 1000 && !ec; ++completed)
                    request->get(ec, url("/empty"));
                return completed;
            }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
        std::thread([manager] { manager->stop(); }).join();
        for (auto& caller : callers)
            ASSERT_EQ(std::future_status::ready, caller.wait_for(20s)) << "round " << round;
    }
}

TEST_F(Torture, ManagersReleasedWithTransfersRunningGoOnTheirWorker)
{
    const auto deadline = Clock::now() + 20s;
    for (int round = 0; round < 50 && Clock::now() < deadline; ++round) {
        Counter counter;
        std::weak_ptr<NetworkManager> watch;
        {
            const auto manager = NetworkManager::create();
            watch = manager;
            const auto request = NetworkRequest::create(manager);
            for (int i = 0; i < 4; ++i)
                request->get(counter.callback(), url("/empty"));
        }
        // The transfers hold the manager; the last one to end releases it on the worker.
        for (int i = 0; i < 2000 && !watch.expired(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(watch.expired()) << "round " << round;
        EXPECT_EQ(4, counter.calls);
    }
}

TEST_F(Torture, CallbacksStartNewTransfersAndAbortOthers)
{
    const auto manager = NetworkManager::create();
    const auto request = NetworkRequest::create(manager);
    Counter victim;
    const auto stalled = request->get(victim.callback(), url("/stall?after=10"));

    // Each completion starts the next transfer, 20 in a row; the first also
    // aborts the stalled one.
    std::promise<void> chainDone;
    std::function<void(int)> start = [&](int left) {
        request->get(
            [&, left](const std::error_code&, std::shared_ptr<NetworkReply>) {
                if (left == 20)
                    stalled->abort();
                if (left > 1)
                    start(left - 1);
                else
                    chainDone.set_value();
            },
            url("/empty"));
    };
    start(20);
    ASSERT_EQ(std::future_status::ready, chainDone.get_future().wait_for(20s));
    manager->stop();
    EXPECT_EQ(0, victim.calls);
}
