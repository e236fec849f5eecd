#pragma once

#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

// The tool copied into a directory of its own, run through its real binary
// against the VPN client stand-in.
namespace testing_support {

class Run : public ::testing::Test
{
protected:
    void SetUp() override { installTool(toolDir()); }

    fs::path root() const { return temp.path() / "root"; }
    fs::path toolDir() const { return temp.path() / "tool"; }
    fs::path clientDir() const { return temp.path() / "client"; }

    // Starts the VPN client stand-in; it stays logged in while the test runs.
    void login(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), {"--install", clientDir().string()});
        if (std::find(options.begin(), options.end(), "--address") == options.end())
            options.insert(options.end(), {"--address", "127.0.0.1", "--port", "8443"});
        vpn = std::make_unique<VpnClient>(root(), options);
        ASSERT_TRUE(vpn->ready());
    }

    ToolResult run(bool mergeStreams = false, const std::function<void()>& whileRunning = {})
    {
        ToolOptions options;
        options.mergeStreams = mergeStreams;
        options.whileRunning = whileRunning;
        return run(options);
    }
    ToolResult run(const ToolOptions& options) { return runTool(toolDir(), root(), options); }

    TempDir temp;
    std::unique_ptr<VpnClient> vpn;
};

// Whether each of parts occurs in text, in this order.
inline bool inOrder(const std::string& text, const std::vector<std::string>& parts)
{
    std::size_t at = 0;
    for (const auto& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

} // namespace testing_support
