#include "support/Gateway.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <boost/process.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bp = boost::process;
namespace fs = boost::filesystem;
using testing_support::readFile;

namespace {

const std::string hello = "hello from the gateway\n";

// What /big?size=N sends: the bytes 0..255, repeated.
std::string bigBody(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

struct Output
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The built example programs, run in a directory of their own against the
// gateway stand-in.
class Examples : public ::testing::Test
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

    void SetUp() override { fs::create_directories(cwd()); }

    static std::string url(const std::string& path) { return gateway->url(path); }
    fs::path cwd() const { return temp.path() / "cwd"; }

    // Runs program in cwd() with standard input at its end, 60 s at most.
    Output run(const std::string& program, const std::vector<std::string>& arguments) const
    {
        const fs::path out = temp.path() / "stdout.txt";
        const fs::path err = temp.path() / "stderr.txt";
        // Boost.Process opens them without truncating.
        fs::remove(out);
        fs::remove(err);
        bp::child child(program, bp::args(arguments), bp::start_dir(cwd()), (bp::std_in < bp::null), bp::std_out > out,
                        bp::std_err > err);
        Output result;
        result.exitCode = testing_support::finish(child);
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }

    static testing_support::TempDir* root;
    static testing_support::Gateway* gateway;

    testing_support::TempDir temp;
};

testing_support::TempDir* Examples::root = nullptr;
testing_support::Gateway* Examples::gateway = nullptr;

} // namespace

TEST_F(Examples, BlockingGetPrintsStatusAndBodyWhateverTheStatus)
{
    const Output found = run(BLOCKING_GET_PATH, {url("/hello.txt")});
    EXPECT_EQ(0, found.exitCode) << found.err;
    EXPECT_EQ("status 200\n" + hello, found.out);

    const Output missing = run(BLOCKING_GET_PATH, {url("/status/404")});
    EXPECT_EQ(0, missing.exitCode) << missing.err;
    EXPECT_EQ("status 404\nstatus 404\n", missing.out);

    // Verified: the server's own certificate is trusted, another CA's is not.
    const Output trusted = run(BLOCKING_GET_PATH, {"--ca-file", gateway->certificate().string(), url("/hello.txt")});
    EXPECT_EQ("status 200\n" + hello, trusted.out) << trusted.err;
    const Output untrusted = run(BLOCKING_GET_PATH,
                                 {"--ca-file", testing_support::signedFile("ca.pem").string(), url("/hello.txt")});
    EXPECT_EQ(1, untrusted.exitCode);
    EXPECT_NE(std::string::npos, untrusted.err.find("curl_category@60")) << untrusted.err;
}

TEST_F(Examples, ParallelDownloadsWriteEveryFileWithProgressThenResults)
{
    const Output output = run(PARALLEL_DOWNLOADS_PATH, {"out", url("/hello.txt"), url("/big?size=300000")});

    EXPECT_EQ(0, output.exitCode) << output.err;
    EXPECT_EQ(hello, readFile(cwd() / "out" / "hello.txt"));
    EXPECT_EQ(bigBody(300000), readFile(cwd() / "out" / "big"));
    const auto lastProgress = output.out.find("big: 300000/300000 bytes\n");
    const auto result = output.out.find("big: status 200, 300000 bytes\n");
    EXPECT_NE(std::string::npos, lastProgress) << output.out;
    EXPECT_NE(std::string::npos, result) << output.out;
    EXPECT_LT(lastProgress, result) << output.out;
    EXPECT_NE(std::string::npos, output.out.find("hello.txt: status 200, 23 bytes\n")) << output.out;

    // An HTTP error is a completed transfer: its body is saved, and the program reports it.
    const Output missing = run(PARALLEL_DOWNLOADS_PATH, {"out", url("/status/404")});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.out.find("404: status 404, 11 bytes\n")) << missing.out;

    // Resumed: the rest of a cut file, with progress over the whole file.
    std::ofstream((cwd() / "out" / "hello.txt").string(), std::ios::binary) << hello.substr(0, 5);
    const Output resumed = run(PARALLEL_DOWNLOADS_PATH, {"--resume", "out", url("/hello.txt")});
    EXPECT_EQ(0, resumed.exitCode) << resumed.err;
    EXPECT_EQ(hello, readFile(cwd() / "out" / "hello.txt"));
    // Whether a callback also sees the part already there before the rest
    // arrives depends on timing: such lines count from it, and come first.
    const std::string last = "hello.txt: 23/23 bytes\nhello.txt: status 206, 23 bytes\n";
    ASSERT_GE(resumed.out.size(), last.size()) << resumed.out;
    EXPECT_EQ(last, resumed.out.substr(resumed.out.size() - last.size())) << resumed.out;
    std::istringstream earlier(resumed.out.substr(0, resumed.out.size() - last.size()));
    for (std::string line; std::getline(earlier, line);) {
        unsigned received = 0;
        char end = 0;
        EXPECT_EQ(1, std::sscanf(line.c_str(), "hello.txt: %u/23 bytes%c", &received, &end)) << resumed.out;
        EXPECT_TRUE(received >= 5 && received < 23) << resumed.out;
    }
}

TEST_F(Examples, FormPostFieldsArriveAsUrlEncodedBody)
{
    const Output output = run(FORM_POST_PATH, {url("/echo"), "alpha=one", "beta=two words"});

    EXPECT_EQ(0, output.exitCode) << output.err;
    EXPECT_EQ(0u, output.out.rfind("status 200\nPOST /echo\n", 0)) << output.out;
    EXPECT_NE(std::string::npos, output.out.find("\nContent-Type: application/x-www-form-urlencoded\n")) << output.out;
    const std::string body = "alpha=one&beta=two words";
    EXPECT_EQ("\n\n" + body, output.out.substr(output.out.size() - body.size() - 2)) << output.out;
}

TEST_F(Examples, CookieSetByFirstAnswerGoesOutWithSecondRequestAndFileIsCleared)
{
    const Output output = run(COOKIES_PATH, {url("/set-cookie?flavour=oat"), url("/echo")});

    EXPECT_EQ(0, output.exitCode) << output.err;
    const auto received = output.out.find("received Set-Cookie: flavour=oat; Path=/\n");
    const auto sent = output.out.find("\nCookie: flavour=oat\n");
    EXPECT_NE(std::string::npos, received) << output.out;
    EXPECT_NE(std::string::npos, sent) << output.out;
    EXPECT_LT(received, sent) << output.out;
    EXPECT_FALSE(fs::exists(cwd() / "Cookies.txt"));
}

#ifdef COROUTINE_CHAIN_PATH
TEST_F(Examples, CoroutineChainLogsInFetchesAndPostsWithTheLoginsCookie)
{
    const Output output = run(COROUTINE_CHAIN_PATH, {url("/set-cookie?session=1"), url("/hello.txt"), url("/echo")});

    EXPECT_EQ(0, output.exitCode) << output.err;
    EXPECT_EQ(0u, output.out.rfind("login: status 200\nfetch: status 200\npost: status 200\nPOST /echo\n", 0))
        << output.out;
    EXPECT_NE(std::string::npos, output.out.find("\nCookie: session=1\n")) << output.out;
    EXPECT_EQ(output.out.size() - hello.size() - 2, output.out.rfind("\n\n" + hello)) << output.out;
    EXPECT_EQ(1, run(COROUTINE_CHAIN_PATH, {url("/hello.txt"), "not a url", url("/echo")}).exitCode);
    EXPECT_FALSE(fs::exists(cwd() / "Cookies.txt"));
}
#endif

TEST_F(Examples, WrongArgumentsGiveUsageAndFailuresGiveTheErrorCode)
{
    for (const char* program : {BLOCKING_GET_PATH, PARALLEL_DOWNLOADS_PATH, FORM_POST_PATH, COOKIES_PATH}) {
        const Output output = run(program, {});
        EXPECT_EQ(2, output.exitCode) << program;
        EXPECT_EQ(0u, output.err.rfind("usage: " + fs::path(program).filename().string() + " ", 0)) << output.err;
    }
    EXPECT_EQ(2, run(FORM_POST_PATH, {url("/echo"), "no-value"}).exitCode);
    EXPECT_EQ(2, run(PARALLEL_DOWNLOADS_PATH, {"out", url("/hello.txt"), url("/a/hello.txt")}).exitCode);

    const Output badUrl = run(BLOCKING_GET_PATH, {"not a url"});
    EXPECT_EQ(1, badUrl.exitCode);
    EXPECT_NE(std::string::npos, badUrl.err.find(" curlu_category@")) << badUrl.err;
    const Output badDownload = run(PARALLEL_DOWNLOADS_PATH, {"out", "not a url"});
    EXPECT_EQ(1, badDownload.exitCode);
    EXPECT_NE(std::string::npos, badDownload.err.find(" curlu_category@")) << badDownload.err;

    // A port on which nothing listens any more.
    unsigned short closed = 0;
    {
        testing_support::TempDir empty;
        closed = testing_support::Gateway(empty.path()).port();
    }
    const Output refused = run(FORM_POST_PATH, {"https://127.0.0.1:" + std::to_string(closed) + "/echo", "a=b"});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find(" curl_category@7 --->>> Couldn't connect to server\n"))
        << refused.err;
}
