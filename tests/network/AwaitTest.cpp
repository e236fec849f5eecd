// The client's transfers awaited from C++20 coroutines.
#include "network/Awaitable.h"

#include "network/CurlCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "support/Gateway.h"
#include "support/TestSupport.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using tandrel::NetworkManager;
using tandrel::NetworkRequest;
using tandrel::TransferResult;
using tandrel::Url;

namespace {

std::error_code curlError(int value)
{
    return std::error_code(value, tandrel::curl_category());
}

// What one awaited transfer gave, and the thread the coroutine went on on.
struct Step
{
    std::error_code ec;
    int status = 0;
    std::string body;
    std::thread::id thread;
};

Step stepOf(const TransferResult& result)
{
    return {result.ec, result.reply ? result.reply->statusCode() : 0, result.reply ? result.reply->body() : "",
            std::this_thread::get_id()};
}

class Await : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        root = new testing_support::TempDir;
        std::ofstream((root->path() / "hello.txt").string(), std::ios::binary) << "hello\n";
        gateway = new testing_support::Gateway(root->path());
    }

    static void TearDownTestSuite()
    {
        delete gateway;
        delete root;
    }

    static Url url(const std::string& path) { return Url(gateway->url(path)); }

    // The worker's thread, as a callback sees it.
    std::thread::id workerThread()
    {
        std::promise<std::thread::id> id;
        request->get([&id](const std::error_code&,
                           std::shared_ptr<tandrel::NetworkReply>) { id.set_value(std::this_thread::get_id()); },
                     url("/hello.txt"));
        return id.get_future().get();
    }

    static testing_support::TempDir* root;
    static testing_support::Gateway* gateway;

    std::shared_ptr<NetworkManager> manager = NetworkManager::create();
    std::shared_ptr<NetworkRequest> request = NetworkRequest::create(manager);
};

testing_support::TempDir* Await::root = nullptr;
testing_support::Gateway* Await::gateway = nullptr;

tandrel::Detached chain(NetworkRequest& request, Url first, Url second, std::promise<std::vector<Step>>& done)
{
    std::vector<Step> steps;
    steps.push_back(stepOf(co_await request.get(first)));
    auto [ec, reply] = co_await request.put(second, "put in a chain");
    steps.push_back(stepOf({ec, reply}));
    done.set_value(steps);
}

tandrel::Detached one(tandrel::PendingTransfer transfer, std::promise<Step>& done)
{
    done.set_value(stepOf(co_await std::move(transfer)));
}

} // namespace

TEST_F(Await, ChainReadsTopToBottomAndResumesOnTheWorker)
{
    const std::thread::id worker = workerThread();
    std::promise<std::vector<Step>> done;
    chain(*request, url("/hello.txt"), url("/echo"), done);
    auto result = done.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(30s));
    const std::vector<Step> steps = result.get();
    ASSERT_EQ(2u, steps.size());
    EXPECT_EQ(curlError(0), steps[0].ec);
    EXPECT_EQ("hello\n", steps[0].body);
    EXPECT_EQ(200, steps[1].status);
    EXPECT_NE(std::string::npos, steps[1].body.find("PUT /echo")) << steps[1].body;
    EXPECT_NE(std::string::npos, steps[1].body.find("put in a chain")) << steps[1].body;
    EXPECT_EQ(worker, steps[0].thread);
    EXPECT_EQ(worker, steps[1].thread);
}

TEST_F(Await, StopAndSetUpFailuresResumeWithTheirCodes)
{
    // Stopped while in flight: 42, as the blocking form returns. The
    // coroutine has started the transfer by the time one() returns.
    std::promise<Step> aborted;
    one(request->get(url("/stall?after=0")), aborted);
    auto abortedResult = aborted.get_future();
    manager->stop();
    ASSERT_EQ(std::future_status::ready, abortedResult.wait_for(30s));
    EXPECT_EQ(curlError(CURLE_ABORTED_BY_CALLBACK), abortedResult.get().ec);

    // On a stopped manager, at once, on the awaiting thread.
    std::promise<Step> refused;
    one(request->get(url("/hello.txt")), refused);
    const Step late = refused.get_future().get();
    EXPECT_EQ(curlError(CURLE_ABORTED_BY_CALLBACK), late.ec);
    EXPECT_EQ(std::this_thread::get_id(), late.thread);

    // A set-up failure, at once, with no reply.
    std::promise<Step> failed;
    one(request->send("NOT A METHOD", url("/echo")), failed);
    EXPECT_EQ(curlError(CURLE_BAD_FUNCTION_ARGUMENT), failed.get_future().get().ec);
}
