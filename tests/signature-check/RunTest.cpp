// The run's early exits, through the real binary against the VPN client stand-in.
#include "RunFixture.h"

#include <boost/filesystem.hpp>
#include <boost/process/exception.hpp>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <system_error>

using namespace testing_support;

#ifdef _WIN32
const int alreadyExists = 183, invalidName = 123, tooLong = 122; // ERROR_INSUFFICIENT_BUFFER
#else
const int alreadyExists = EEXIST, invalidName = EINVAL, tooLong = ENAMETOOLONG;
#endif

TEST_F(Run, WithoutLoginEndsWithMinusSixAndCreatesNothing)
{
    const auto result = run(true);
    EXPECT_EQ(exitStatus(-6), result.exitCode);
    EXPECT_TRUE(inOrder(result.out, {"Please login first\n", pauseOutput()})) << result.out;

    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(toolDir()))
        entries.push_back(entry.path().filename().string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ((std::vector<std::string>{"CheckSign.exe", fs::path(TOOL_NAME).string()}), entries);
    EXPECT_FALSE(fs::exists(root() / "mutex")) << "the tool must never create the login mutex";
}

TEST_F(Run, ErrorExitWritesToErrorStreamAndPausesAfterwards)
{
    const auto result = run();
    EXPECT_EQ("Please login first\n", result.err);
    EXPECT_EQ(pauseOutput(), result.out);
}

#ifndef _WIN32
// Without WIN32_STANDIN_ROOT the store is the user's own, never one under
// /tmp that any user could fill.
TEST_F(Run, UnsetStandinRootMeansTheStoreInTheHomeDirectory)
{
    const fs::path home = temp.path() / "home";
    fs::remove(toolDir() / "CheckSign.exe");
    VpnClient client(home / ".win32-standin", {"--install", clientDir().string(), "--address", "127.0.0.1"});
    ASSERT_TRUE(client.ready());

    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    const auto result = runTool(toolDir(), {});
    setenv("HOME", savedHome.c_str(), 1);
    EXPECT_EQ(exitStatus(-5), result.exitCode);
    EXPECT_EQ("External programs 'CheckSign.exe' do not exist\n", result.err);
}
#endif

struct LookupFailure
{
    const char* name;
    std::vector<std::string> options; // "@file" stands for that file in the client directory
    std::string message;              // what the lookup writes first
    std::string clientFile = {};      // when set, the message ends with this file's path
    // When set, called after the login with the test's directory, to spoil what the lookup reads.
    std::function<void(const fs::path& testDir)> spoil = {};
};

class LookupFails : public Run, public ::testing::WithParamInterface<LookupFailure>
{
};

TEST_P(LookupFails, WithItsOwnMessageThenMinusSeven)
{
    const LookupFailure& failure = GetParam();
    std::vector<std::string> options = failure.options;
    for (auto& option : options) {
        if (option.front() == '@')
            option = (clientDir() / option.substr(1)).string();
    }
    options.insert(options.end(), {"--address", "127.0.0.1"});
    login(options);
    if (failure.spoil) {
        failure.spoil(temp.path());
        if (IsSkipped() || HasFatalFailure())
            return;
    }

    std::string message = failure.message;
    if (!failure.clientFile.empty())
        message += (clientDir() / failure.clientFile).string();

    const auto result = run();
    EXPECT_EQ(exitStatus(-7), result.exitCode);
    EXPECT_EQ(message + "\ncann't get the vpn address\n", result.err);
}

void PrintTo(const LookupFailure& failure, std::ostream* out)
{
    *out << failure.name;
}

INSTANTIATE_TEST_SUITE_P(
    Run, LookupFails,
    ::testing::Values(
        LookupFailure{"UnknownProgId", {"--register", "none"}, "cann't get the path of component"},
        LookupFailure{"NoServerKey", {"--register", "progid"}, "cann't get the path of component"},
        LookupFailure{"PathTooLong", {"--library-path", std::string(260, 'x')}, "cann't get the path of component"},
        LookupFailure{"MissingLibrary", {"--library-path", "@missing"}, "cann't load library ", "missing"},
        LookupFailure{"NotALibrary", {"--component", TOOL_SOURCE_FILE}, "cann't load library ", "main.cpp"},
        LookupFailure{"NoExport", {"--component", NOEXPORT_PATH}, "hasn't function GetVPNAddress", NOEXPORT_NAME},
        LookupFailure{"NoAddress", {"--result", "0"}, "cann't get the server url"}),
    [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
// Lets whom (the group or others) write the entry at path below the test's directory.
std::function<void(const fs::path&)> writableBy(fs::perms whom, const std::string& path)
{
    return [=](const fs::path& dir) { fs::permissions(dir / path, fs::perms::add_perms | whom); };
}

std::function<void(const fs::path&)> givenToNobody(const std::string& path)
{
    return [=](const fs::path& dir) {
        if (geteuid() != 0)
            GTEST_SKIP() << "only root can give a file to another user";
        ASSERT_EQ(0, chown((dir / path).c_str(), 65534, 65534));
    };
}

const std::string serverKey = "root/HKEY_CLASSES_ROOT/CLSID/{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}";
const std::string component = componentLibrary().filename().string();
const char* const noPath = "cann't get the path of component";
const char* const noLoad = "cann't load library ";
const fs::perms group = fs::perms::group_write, others = fs::perms::others_write;

// What another user could have changed counts as absent.
INSTANTIATE_TEST_SUITE_P(
    Untrusted, LookupFails,
    ::testing::Values(
        LookupFailure{"GroupWritableKey", {}, noPath, {}, writableBy(group, serverKey)},
        LookupFailure{"OtherWritableValue", {}, noPath, {}, writableBy(others, serverKey + "/InprocServer32/@")},
        LookupFailure{"StoreOfAnotherUser", {}, noPath, {}, givenToNobody("root/HKEY_CLASSES_ROOT")},
        LookupFailure{"LibraryOthersCanWrite", {}, noLoad, component, writableBy(others, "client/" + component)},
        LookupFailure{"LibraryInADirectoryAnyoneCanWrite", {}, noLoad, component, writableBy(others, "client")}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

TEST_F(Run, MissingCheckerEndsWithMinusFive)
{
    fs::remove(toolDir() / "CheckSign.exe");
    login();
    const auto result = run();
    EXPECT_EQ(exitStatus(-5), result.exitCode);
    EXPECT_EQ("External programs 'CheckSign.exe' do not exist\n", result.err);
}

// Whatever has the host's name but is no real directory stays as it is, and
// nothing goes through it.
TEST_F(Run, EntryWithTheHostsNameThatIsNoDirectoryEndsWithMinusOne)
{
    const fs::path host = toolDir() / "127.0.0.1";
    const fs::path elsewhere = temp.path() / "elsewhere";
    fs::create_directories(elsewhere);
    login();
    const auto refused = [&] {
        const auto result = run();
        EXPECT_EQ(exitStatus(-1), result.exitCode);
        EXPECT_EQ(0u,
                  result.err.rfind(
                      "cann't create directory '127.0.0.1', system@" + std::to_string(alreadyExists) + " --->>> ", 0))
            << result.err;
    };
    std::ofstream(host.string()) << "in the way";
    refused();
    EXPECT_EQ("in the way", readFile(host));

    fs::remove(host);
    if (!makeSymlink(elsewhere, host))
        GTEST_SKIP() << "the system makes no symbolic links here";
    refused();
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(Run, UnopenableResultFileEndsWithMinusThree)
{
    fs::create_directories(toolDir() / "127.0.0.1" / "result.txt");
    login();
    const auto result = run();
    EXPECT_EQ(exitStatus(-3), result.exitCode);
    EXPECT_EQ("cann't open " + (fs::path("127.0.0.1") / "result.txt").string() + "\n", result.err);
}

TEST_F(Run, RejectedHostEndsWithOneAfterThePause)
{
    login({"--address", "no such host"});
    const auto result = run(true);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(inOrder(result.out, {pauseOutput(), "curlu_category@", " --->>> "})) << result.out;
}

#ifndef _WIN32
TEST_F(Run, UnexpectedFailureEndsWithOneAndDiagnosticsAfterThePause)
{
    // A checker entry whose existence can't be tested: a symbolic link to itself.
    fs::remove(toolDir() / "CheckSign.exe");
    fs::create_symlink("CheckSign.exe", toolDir() / "CheckSign.exe");
    login();
    const auto result = run(true);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(inOrder(result.out, {pauseOutput(), "filesystem_error", "CheckSign.exe"})) << result.out;
}
#endif

// The gateway address comes from outside the program: whatever it is, the
// run writes nothing outside its own directory and ends with a clear message.
TEST_F(Run, HostNamingTheToolsDirectoryOrItsParentIsRefused)
{
    std::vector<std::string> hosts = {".", ".."};
#ifdef _WIN32
    // Device names, and names whose final dot Windows drops: "a." is "a".
    hosts.insert(hosts.end(), {"nul", "CON", "Com1", "lpt9", "NUL.txt", "aux.tar.gz", "...", "a."});
#endif
    for (const std::string& host : hosts) {
        login({"--address", host});
        const auto result = run();
        EXPECT_EQ(exitStatus(-1), result.exitCode) << host;
        EXPECT_EQ("cann't create directory '" + host + "', system@" + std::to_string(invalidName) + " --->>> "
                      + boost::system::system_category().message(invalidName) + "\n",
                  result.err);
        EXPECT_FALSE(fs::exists(toolDir() / "result.txt"));
        EXPECT_FALSE(fs::exists(temp.path() / "result.txt"));
        vpn.reset();
    }
}

// A tool path too long for the module path buffer comes back cut to an
// ancestor directory; the run must not go on there.
TEST_F(Run, ToolPathLongerThanTheModuleBufferEndsWithOneAndCreatesNothing)
{
    // Two levels (a name holds at most 255 bytes); the cut falls into the
    // second, and a checker in the first would let a run there go on.
    const fs::path outer = temp.path() / std::string(150, 'o');
    installTool(outer / std::string(150, 'd'));
    std::ofstream((outer / "CheckSign.exe").string()).put('\0');
    login();
    ToolResult result;
    try {
        result = runTool(outer / std::string(150, 'd'), root());
    } catch (const boost::process::process_error& e) {
        if (!underWine())
            throw;
        GTEST_SKIP() << "Wine can't start a program from a path this long: " << e.what();
    }
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("system@" + std::to_string(tooLong) + " --->>> " + std::system_category().message(tooLong) + "\n",
              result.err);
    EXPECT_FALSE(fs::exists(outer / "127.0.0.1"));
}

TEST_F(Run, HostTheUrlLibraryRejectsEndsWithOne)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b", "curlu_category@21 --->>> Unknown CURLUE Error\n"},
        {std::string("a\x01") + "b", "curlu_category@14 --->>> CURLUE_NO_HOST\n"},
    };
    for (const auto& [host, message] : cases) {
        login({"--address", host});
        const auto result = run();
        EXPECT_EQ(1, result.exitCode);
        EXPECT_EQ(message, result.err);
        EXPECT_EQ(std::vector<fs::path>({toolDir() / "CheckSign.exe", toolDir() / fs::path(TOOL_NAME)}), [&] {
            std::vector<fs::path> entries(fs::directory_iterator(toolDir()), {});
            std::sort(entries.begin(), entries.end());
            return entries;
        }());
        vpn.reset();
    }
}

TEST_F(Run, AddressFillingTheWholeBufferIsCutAtItsSize)
{
    // 1,023 characters and no terminator: the tool's buffer keeps one zero.
    login({"--address", "a", "--unterminated"});
    const auto result = run();
    EXPECT_EQ(exitStatus(-1), result.exitCode);
    EXPECT_EQ(0u, result.err.rfind("cann't create directory '" + std::string(1023, 'a') + "', system@", 0))
        << result.err;
}
