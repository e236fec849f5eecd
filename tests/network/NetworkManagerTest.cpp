#include "network/NetworkManager.h"

#include "network/NetworkRequest.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;
using tandrel::NetworkManager;
using tandrel::NetworkRequest;

namespace {

// The cookie file lives in the current directory, so each test gets a fresh one.
class ClearCookies : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved = fs::current_path();
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(saved); }

    testing_support::TempDir dir;
    fs::path saved;
};

// Runs action on a thread of its own and tells whether it ended within limit;
// a hung action is left behind so that the test can fail instead of hanging.
bool endsWithin(std::chrono::seconds limit, std::function<void()> action)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([done, action] {
        action();
        done->set_value();
    }).detach();
    return ended.wait_for(limit) == std::future_status::ready;
}

} // namespace

TEST(NetworkManager, InstanceIsOneManagerForEveryThread)
{
    std::vector<std::future<std::shared_ptr<NetworkManager>>> seen;
    for (int i = 0; i < 8; ++i)
        seen.push_back(std::async(std::launch::async, [] { return NetworkManager::instance(); }));

    const auto first = NetworkManager::instance();
    ASSERT_TRUE(first);
    for (auto& manager : seen)
        EXPECT_EQ(first, manager.get());
}

TEST(NetworkManager, CreateGivesManagersOfTheirOwn)
{
    const auto one = NetworkManager::create();
    const auto two = NetworkManager::create();
    ASSERT_TRUE(one);
    ASSERT_TRUE(two);
    EXPECT_NE(one, two);
    EXPECT_NE(NetworkManager::instance(), one);

    one->setTimeout(7);
    EXPECT_EQ(7, one->timeout());
    EXPECT_EQ(30, two->timeout());
}

TEST(NetworkManager, DefaultTimeoutIgnoresZero)
{
    const auto manager = NetworkManager::create();
    EXPECT_EQ(30, manager->timeout());
    manager->setTimeout(0);
    EXPECT_EQ(30, manager->timeout());
    manager->setTimeout(5);
    EXPECT_EQ(5, manager->timeout());
    manager->setTimeout(0);
    EXPECT_EQ(5, manager->timeout());
    manager->setTimeout(-5);
    EXPECT_EQ(-5, manager->timeout());
}

TEST(NetworkManager, StopReturnsWithoutWorkerAndWhenRepeated)
{
    const auto idle = NetworkManager::create();
    EXPECT_TRUE(endsWithin(std::chrono::seconds(20), [idle] { idle->stop(); }));

    const auto running = NetworkManager::create();
    const auto request = NetworkRequest::create(running); // launches the worker
    EXPECT_TRUE(endsWithin(std::chrono::seconds(20), [running] {
        running->stop();
        running->stop();
    }));
}

TEST_F(ClearCookies, DeletesFileAndReportsMissingOneOnlyWhenAsked)
{
    EXPECT_FALSE(NetworkManager::clearCookies(nullptr));
    std::error_code ec;
    EXPECT_FALSE(NetworkManager::clearCookies(&ec));
    EXPECT_EQ(std::error_code(ENOENT, std::generic_category()), ec);

    std::ofstream(tandrel::cookieFileName) << "# cookies\n";
    ASSERT_TRUE(fs::exists(dir.path() / "Cookies.txt"));
    ec = std::error_code(EACCES, std::generic_category());
    EXPECT_TRUE(NetworkManager::clearCookies(&ec));
    EXPECT_FALSE(fs::exists(dir.path() / "Cookies.txt"));
    EXPECT_EQ(std::error_code(EACCES, std::generic_category()), ec);
}
