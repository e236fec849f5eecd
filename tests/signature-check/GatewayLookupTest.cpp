#include "GatewayLookup.h"

#include "support/TestSupport.h"

#ifndef _WIN32
#include "platform/StandinStore.h"
#endif

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace testing_support;

namespace {

class GatewayLookup : public ::testing::Test
{
protected:
    void SetUp() override { useStandinRoot(temp.path() / "root"); }

    // Starts the VPN client stand-in with the given options; the
    // registration it writes stays after it stops.
    void registerClient(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"--install", (temp.path() / "client").string()});
        VpnClient vpn(temp.path() / "root", options);
        ASSERT_TRUE(vpn.ready());
    }

    std::string serverUrl()
    {
        std::string url;
        EXPECT_TRUE(getServerUrl(url));
        return url;
    }

    TempDir temp;
};

} // namespace

TEST(FormatClsid, WritesTheBracedUpperCaseForm)
{
    const platform::Clsid clsid{0x0123abcd, 0x00ef, 0x4567, {0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67}};
    PathBuffer text;
    std::memset(text, 'z', sizeof text);
    text[sizeof text - 1] = '\0';
    formatClsid(clsid, text);
    EXPECT_STREQ("{0123ABCD-00EF-4567-89AB-CDEF01234567}", text);
}

TEST_F(GatewayLookup, PortZeroGivesNoPortPart)
{
    registerClient({"--address", "127.0.0.1", "--port", "0"});
    EXPECT_EQ("https://127.0.0.1/", serverUrl());
}

TEST_F(GatewayLookup, PortIsWrittenInDecimalAfterTheHost)
{
    registerClient({"--address", "gateway.example", "--port", "65535"});
    EXPECT_EQ("https://gateway.example:65535/", serverUrl());
}

TEST_F(GatewayLookup, AnyNonZeroResultCountsAsSuccess)
{
    registerClient({"--address", "[::1]", "--port", "8443", "--result", "7"});
    EXPECT_EQ("https://[::1]:8443/", serverUrl());
}

TEST_F(GatewayLookup, AddressTheUrlLibraryRejectsIsThrown)
{
    registerClient({"--address", "no such host"});
    std::string url;
    try {
        getServerUrl(url);
        FAIL() << "expected a thrown std::error_code";
    } catch (const std::error_code& ec) {
        EXPECT_STREQ("curlu_category", ec.category().name());
    }
    EXPECT_EQ("", url);
}

TEST_F(GatewayLookup, ClsidTextMustBeThirtyEightCharacters)
{
    registerClient({"--address", "127.0.0.1"});
    PathBuffer path = {};
    EXPECT_TRUE(readInprocServerPath("{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}", path));
    EXPECT_FALSE(readInprocServerPath("{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B2}", path));
    EXPECT_FALSE(readInprocServerPath("{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B244}", path));
}

#ifndef _WIN32
TEST_F(GatewayLookup, ValueFillingTheBufferWithoutTerminatorIsNotOverrun)
{
    registerClient({"--address", "127.0.0.1"});
    // A stored text without its terminator that fills the 260 bytes exactly.
    const fs::path value = platform::standin::defaultValueFile(
        platform::standin::classesRoot() + "/CLSID/{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}/InprocServer32");
    std::ofstream(value.string(), std::ios::binary | std::ios::trunc) << std::string(260, 'p');

    std::string path;
    ASSERT_TRUE(getComponentPath(L"TandrelCore.TandrelCoreCom.1", path));
    EXPECT_EQ(std::string(260, 'p'), path);
}
#endif
