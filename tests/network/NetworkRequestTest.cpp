#include "network/NetworkRequest.h"

#include "network/NetworkManager.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <stdexcept>
#include <string>

using tandrel::NetworkHeaders;
using tandrel::NetworkLimits;
using tandrel::NetworkManager;
using tandrel::NetworkOptions;
using tandrel::NetworkRequest;

namespace {

const char defaultDump[] = "request:\n"
                           "header:\n"
                           "Content-Type: application/x-www-form-urlencoded\n"
                           "User-Agent: QMXClientType\n"
                           "NetworkOptions:\n"
                           "enableSendCookies:true\n"
                           "enableRecvCookies:false\n";

} // namespace

TEST(NetworkRequest, NewRequestCarriesDefaultSettings)
{
    auto request = NetworkRequest::create(NetworkManager::create());

    EXPECT_EQ(30, request->timeout());
    EXPECT_TRUE(request->options().enableSendCookies);
    EXPECT_FALSE(request->options().enableRecvCookies);
    const std::list<std::string> lines = {
        "Content-Type: application/x-www-form-urlencoded",
        "User-Agent: QMXClientType",
    };
    EXPECT_EQ(lines, request->headers().headerLines());
    EXPECT_EQ(defaultDump, request->toString());
}

TEST(NetworkRequest, ZeroTimeoutIsIgnoredAndOtherValuesAreKept)
{
    auto request = NetworkRequest::create(NetworkManager::create());

    request->setTimeout(0);
    EXPECT_EQ(30, request->timeout());
    request->setTimeout(5);
    EXPECT_EQ(5, request->timeout());
    request->setTimeout(0);
    EXPECT_EQ(5, request->timeout());
    request->setTimeout(-3);
    EXPECT_EQ(-3, request->timeout());
    // The time limit is not part of the dump.
    EXPECT_EQ(defaultDump, request->toString());
}

TEST(NetworkRequest, OptionsAreReplacedTogetherAndDumped)
{
    NetworkOptions defaults;
    EXPECT_EQ("NetworkOptions:\nenableSendCookies:true\nenableRecvCookies:false\n", defaults.toString());

    auto request = NetworkRequest::create(NetworkManager::create());
    NetworkOptions swapped;
    swapped.enableSendCookies = false;
    swapped.enableRecvCookies = true;
    request->setOptions(swapped);

    EXPECT_FALSE(request->options().enableSendCookies);
    EXPECT_TRUE(request->options().enableRecvCookies);
    const std::string swappedDump = "NetworkOptions:\nenableSendCookies:false\nenableRecvCookies:true\n";
    EXPECT_EQ(swappedDump, request->options().toString());
    EXPECT_EQ(swappedDump, request->toString().substr(request->toString().size() - swappedDump.size()));
}

TEST(NetworkRequest, SetHeadersReplacesDefaultsAndHeadersEditsInPlace)
{
    auto request = NetworkRequest::create(NetworkManager::create());

    request->headers().setHeader("content-type", "text/plain");
    EXPECT_EQ("content-type: text/plain", request->headers().headerLines().back());
    EXPECT_NE(std::string::npos, request->toString().find("User-Agent: QMXClientType\ncontent-type: text/plain\n"));

    request->setHeaders(NetworkHeaders());
    EXPECT_TRUE(request->headers().headerLines().empty());
    EXPECT_EQ("request:\n"
              "header:\n"
              "NetworkOptions:\n"
              "enableSendCookies:true\n"
              "enableRecvCookies:false\n",
              request->toString());
}

TEST(NetworkRequest, LimitsAndSecurityAreOffByDefaultAndDumpedApartFromTheRequest)
{
    auto request = NetworkRequest::create(NetworkManager::create());
    EXPECT_EQ("NetworkLimits:\nmaxBodySize:0\nmaxRedirects:0\n", request->limits().toString());
    EXPECT_EQ("NetworkSecurity:\nverifyPeer:false\ncaFile:\ncaDirectory:\npinnedPublicKey:\nclientCertificate:\n"
              "clientKey:\n",
              request->security().toString());

    NetworkLimits bounded;
    bounded.maxBodySize = 18446744073709551615ull;
    bounded.maxRedirects = 5;
    request->setLimits(bounded);
    tandrel::NetworkSecurity verified;
    verified.verifyPeer = true;
    verified.caFile = "ca.pem";
    request->setSecurity(verified);
    EXPECT_EQ("NetworkLimits:\nmaxBodySize:18446744073709551615\nmaxRedirects:5\n", request->limits().toString());
    EXPECT_EQ("PhaseLimits:\nconnectSeconds:0\nstallBytesPerSecond:0\nstallSeconds:0\n",
              request->limits().phases.toString());
    EXPECT_EQ(0u, request->security().toString().find("NetworkSecurity:\nverifyPeer:true\ncaFile:ca.pem\n"));
    EXPECT_EQ(defaultDump, request->toString());
}

// A callable that can't be copied: the reply's copy of it throws.
struct CopyThrows
{
    CopyThrows() = default;
    CopyThrows(CopyThrows&&) = default;
    CopyThrows(const CopyThrows&) { throw std::runtime_error("no copy"); }
    template <class... Arguments>
    void operator()(Arguments&&...) const
    {
    }
};

TEST(NetworkRequest, ThrowWhileMakingAReplyLeavesNothingBehind)
{
    // The sanitizer and valgrind runs see a leaked libcurl handle; the
    // target shows that the download got no further.
    testing_support::TempDir work;
    const auto target = (work.path() / "kept.txt").string();
    std::ofstream(target) << "old";
    auto request = NetworkRequest::create(NetworkManager::create());
    const tandrel::CompletionCallback done = CopyThrows();
    const tandrel::ProgressCallback progress = CopyThrows();
    const tandrel::Url url("https://127.0.0.1:1/");
    for (int i = 0; i < 20; ++i) {
        EXPECT_THROW(request->get(done, url), std::runtime_error);
        EXPECT_THROW(request->download(progress, nullptr, url, target), std::runtime_error);
    }
    EXPECT_EQ("old", testing_support::readFile(target));
}
