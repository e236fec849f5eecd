#include "platform/Platform.h"

#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace testing_support;

namespace {

const char* const loginMutex = "Global\\SSLUSR_LOGIN";

class Platform : public ::testing::Test
{
protected:
    void SetUp() override { useStandinRoot(root()); }

    fs::path root() const { return temp.path() / "root"; }
    std::vector<std::string> client(std::vector<std::string> options) const
    {
        options.insert(options.begin(), {"--install", (temp.path() / "client").string(), "--address", "127.0.0.1"});
        return options;
    }

    TempDir temp;
};

} // namespace

TEST_F(Platform, MutexOpensOnlyWhileItsCreatorRuns)
{
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
    {
        VpnClient vpn(root(), client({}));
        ASSERT_TRUE(vpn.ready());
        EXPECT_TRUE(platform::canOpenMutex(loginMutex));
        EXPECT_TRUE(platform::canOpenMutex(loginMutex)) << "opening must not take the mutex away";
        EXPECT_FALSE(platform::canOpenMutex("Global\\SOMETHING_ELSE"));
    }
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
}

TEST_F(Platform, MutexVanishesWhenItsCreatorIsKilled)
{
    VpnClient vpn(root(), client({}));
    ASSERT_TRUE(vpn.ready());
    vpn.kill();
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
}

#ifndef _WIN32
TEST_F(Platform, MutexWhoseFileOthersCanWriteIsNotHeld)
{
    VpnClient vpn(root(), client({}));
    ASSERT_TRUE(vpn.ready());
    fs::permissions(root() / "mutex" / loginMutex, fs::perms::add_perms | fs::perms::group_write);
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
}
#endif

TEST_F(Platform, OpeningNeverCreatesTheMutex)
{
    VpnClient registeredOnly(root(), client({"--no-login"}));
    ASSERT_TRUE(registeredOnly.ready());
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
    EXPECT_FALSE(platform::canOpenMutex(loginMutex));
}

TEST_F(Platform, RegistrationOutlivesTheClientAndIgnoresCase)
{
    {
        VpnClient vpn(root(), client({"--library-path", "C:\\lib.dll"}));
        ASSERT_TRUE(vpn.ready());
    }

    platform::Clsid clsid{};
    ASSERT_TRUE(platform::clsidFromProgId(L"TandrelCore.TandrelCoreCom.1", clsid));
    EXPECT_EQ(0x7D3B5A6Eu, clsid.data1);
    EXPECT_EQ(0x2C41u, clsid.data2);
    EXPECT_EQ(0x4F8Au, clsid.data3);
    EXPECT_EQ(0x9Bu, clsid.data4[0]);
    EXPECT_EQ(0x24u, clsid.data4[7]);
    EXPECT_FALSE(platform::clsidFromProgId(L"Unknown.ProgId.1", clsid));

    unsigned char value[260] = {};
    ASSERT_TRUE(platform::readClassesRootDefault("clsid\\{7d3b5a6e-2c41-4f8a-9b1d-0e6c5f3a8b24}\\INPROCSERVER32", value,
                                                 sizeof value));
    EXPECT_STREQ("C:\\lib.dll", reinterpret_cast<const char*>(value));
    EXPECT_FALSE(platform::readClassesRootDefault("CLSID\\{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}", value, sizeof value))
        << "a key without a default value";
    EXPECT_FALSE(platform::readClassesRootDefault("CLSID\\..\\..", value, sizeof value));
}

TEST_F(Platform, ValueLongerThanTheBufferFailsTheQuery)
{
    // 259 characters and the terminator fill 260 bytes exactly; one more does not fit.
    const std::string fits(259, 'a'), tooLong(260, 'b');
    const char* const key = "CLSID\\{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}\\InprocServer32";
    unsigned char value[260];

    {
        VpnClient vpn(root(), client({"--library-path", fits}));
        ASSERT_TRUE(vpn.ready());
    }
    EXPECT_TRUE(platform::readClassesRootDefault(key, value, sizeof value));
    EXPECT_EQ(fits, reinterpret_cast<const char*>(value));

    {
        VpnClient vpn(root(), client({"--library-path", tooLong}));
        ASSERT_TRUE(vpn.ready());
    }
    EXPECT_FALSE(platform::readClassesRootDefault(key, value, sizeof value));
}

TEST(PlatformModule, FileNameIsThisProgramsAbsolutePath)
{
    char path[261] = {};
    EXPECT_FALSE(platform::moduleFileName(path, sizeof path));
    const fs::path self(path);
    EXPECT_TRUE(self.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(self));
    EXPECT_EQ("signature-check-tests", self.stem().string());

    // One byte short of the path and its terminator: the cut is reported.
    std::vector<char> shortBuffer(std::strlen(path));
    const std::error_code cut = platform::moduleFileName(shortBuffer.data(), std::strlen(path));
    EXPECT_TRUE(cut && cut.category() == std::system_category()) << cut;
}
