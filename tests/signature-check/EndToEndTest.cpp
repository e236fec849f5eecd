// Whole runs through the real binary: the VPN client, the HTTPS gateway and
// the signature checker are the stand-ins, the installer is really signed.
#include "RunFixture.h"

#include "support/Gateway.h"

#include <boost/filesystem.hpp>
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

using namespace testing_support;

namespace {

const std::string target = (fs::path("127.0.0.1") / "TandrelUD.exe").string();
const std::string resultPath = (fs::path("127.0.0.1") / "result.txt").string();

std::string verdictLine(const std::string& verdict)
{
    return verdict + "\t\"TandrelUD.exe\"\t" + target + "\n";
}

// What the run prints on standard output when it got to the end, with the
// checker's own line and the verdict lines that went to standard output.
std::string finishedRun(const std::string& checkerLine, const std::string& consoleVerdict,
                        const std::string& resultContent)
{
    return "Download \"TandrelUD.exe\"\n\n" + checkerLine + "\n" + consoleVerdict + "Operator Finished\n\n\n"
           + "The verification result '" + resultPath + "' is as follows:\n" + resultContent + "\n" + pauseOutput();
}

// The output without its progress line, which is rewritten a varying number
// of times; the last rewrite must show the whole size.
std::string withoutProgress(const std::string& out, std::uintmax_t size)
{
    const std::string last = "Download progress: " + std::to_string(size) + "/" + std::to_string(size) + "\r\n";
    EXPECT_NE(std::string::npos, out.find(last)) << out;
    return std::regex_replace(out, std::regex("Download progress: [0-9]+/[0-9]+\r"), "");
}

class EndToEnd : public Run
{
protected:
    void SetUp() override
    {
        Run::SetUp();
        installChecker(toolDir());
        fs::create_directories(documentRoot() / "com" / "win");
    }

    // Publishes installer as the gateway's TandrelUD.exe and logs in to it.
    void serve(const std::string& installer, const std::string& fileMode = "normal",
               Gateway::Security security = Gateway::Security::tls)
    {
        fs::copy_file(signedFile(installer), published(), fs::copy_options::overwrite_existing);
        vpn.reset();
        gateway.reset();
        gateway = std::make_unique<Gateway>(documentRoot(), fileMode, security);
        login({"--address", "127.0.0.1", "--port", std::to_string(gateway->port())});
    }

    fs::path documentRoot() const { return temp.path() / "gateway"; }
    fs::path published() const { return documentRoot() / "com" / "win" / "TandrelUD.exe"; }
    fs::path hostDir() const { return toolDir() / "127.0.0.1"; }

    std::unique_ptr<Gateway> gateway;
};

} // namespace

TEST_F(EndToEnd, SignedInstallerIsValid)
{
    serve("TandrelUD.exe");
    const auto result = run();

    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(finishedRun("CheckSign: " + target + ": signature valid\n", verdictLine("VALID"), verdictLine("VALID")),
              withoutProgress(result.out, fs::file_size(published())));
    EXPECT_EQ(textMode(verdictLine("VALID")), readFile(hostDir() / "result.txt"));
    EXPECT_EQ(readFile(published()), readFile(hostDir() / "TandrelUD.exe"));
    EXPECT_NE(std::string::npos, readFile(consoleFile(toolDir())).find(textMode("Operator Finished\n")))
        << "the console is written in text mode";
}

class SpoiledInstaller : public EndToEnd, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(SpoiledInstaller, IsInvalidOnTheErrorStreamAndTheRunStillSucceeds)
{
    serve(GetParam());
    const auto result = run();

    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), result.err);
    EXPECT_EQ(finishedRun("CheckSign: " + target + ": signature not valid\n", "", verdictLine("INVALID")),
              withoutProgress(result.out, fs::file_size(published())));
    EXPECT_EQ(textMode(verdictLine("INVALID")), readFile(hostDir() / "result.txt"));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, SpoiledInstaller,
                         ::testing::Values("tampered.exe", "unsigned.exe", "wrong-signer.exe"), [](const auto& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST_F(EndToEnd, CheckerOutputComesBetweenTheDownloadAndTheVerdict)
{
    serve("tampered.exe");
    const auto result = run(true);
    EXPECT_TRUE(inOrder(result.out, {"Download \"TandrelUD.exe\"\n", "\r\n", "CheckSign: ", "\n\n",
                                     verdictLine("INVALID"), "Operator Finished\n", pauseOutput()}))
        << result.out;
}

TEST_F(EndToEnd, GatewayErrorPageGoesToTheChecker)
{
    serve("TandrelUD.exe", "404");
    const auto result = run();

    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), result.err);
    EXPECT_EQ("not found\n", readFile(hostDir() / "TandrelUD.exe"));
}

TEST_F(EndToEnd, SecondRunReplacesTheInstallerAndTheResult)
{
    serve("tampered.exe");
    ASSERT_EQ(0, run().exitCode);
    ASSERT_EQ(textMode(verdictLine("INVALID")), readFile(hostDir() / "result.txt"));

    serve("TandrelUD.exe");
    const auto result = run();
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(textMode(verdictLine("VALID")), readFile(hostDir() / "result.txt"));
    EXPECT_EQ(readFile(published()), readFile(hostDir() / "TandrelUD.exe"));
}

TEST_F(EndToEnd, FailedDownloadEndsWithMinusFourAndAnEmptyResultFile)
{
    // Nothing listens on port 1 of the loopback address.
    login({"--address", "127.0.0.1", "--port", "1"});
    const auto result = run();

    EXPECT_EQ(exitStatus(-4), result.exitCode);
    EXPECT_EQ("download '\"TandrelUD.exe\"' failurecurl_category@7 --->>> Couldn't connect to server\n", result.err);
    EXPECT_EQ("Download \"TandrelUD.exe\"\n\n" + pauseOutput(), result.out);
    EXPECT_EQ("", readFile(hostDir() / "result.txt"));
}

TEST_F(EndToEnd, CheckerVanishedDuringTheDownloadEndsWithOneAndNoVerdict)
{
    // The gateway drips the installer, so the download outlasts the checker.
    serve("TandrelUD.exe", "drip");
    const fs::path download = hostDir() / "TandrelUD.exe";
    const auto result = run(true, [&] {
        for (int i = 0; i < 2000 && !(fs::exists(download) && fs::file_size(download) > 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fs::remove(toolDir() / "CheckSign.exe");
    });

    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(inOrder(result.out, {"Download \"TandrelUD.exe\"\n", pauseOutput(), "process_error"})) << result.out;
    EXPECT_EQ(std::string::npos, result.out.find("VALID")) << result.out;
    EXPECT_EQ("", readFile(hostDir() / "result.txt"));
}

struct DownloadFault
{
    const char* name;
    std::string fileMode; // how the gateway answers; empty: no gateway at all
    CURLcode code;
    Gateway::Security security = Gateway::Security::tls;
};

void PrintTo(const DownloadFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class FailingDownload : public EndToEnd, public ::testing::WithParamInterface<DownloadFault>
{
};

// Each ends the run with -4 and libcurl's own code and text, after the
// download line and before the pause, with nothing in the result file.
TEST_P(FailingDownload, EndsWithMinusFourAndTheTransfersCode)
{
    const DownloadFault& fault = GetParam();
    if (fault.fileMode == "close-early" && underWine())
        GTEST_SKIP() << wineCloseNotifyGap;
    if (fault.fileMode.empty())
        login({"--address", "nosuchhost.invalid"});
    else
        serve("TandrelUD.exe", fault.fileMode, fault.security);
    const std::string host = fault.fileMode.empty() ? "nosuchhost.invalid" : "127.0.0.1";

    const auto result = run();
    EXPECT_EQ(exitStatus(-4), result.exitCode);
    EXPECT_EQ("download '\"TandrelUD.exe\"' failurecurl_category@" + std::to_string(fault.code) + " --->>> "
                  + curl_easy_strerror(fault.code) + "\n",
              result.err);
    EXPECT_EQ(0u, result.out.rfind("Download \"TandrelUD.exe\"\n", 0)) << result.out;
    EXPECT_TRUE(inOrder(result.out, {"\n" + pauseOutput()})) << result.out;
    EXPECT_EQ("", readFile(toolDir() / host / "result.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, FailingDownload,
    ::testing::Values(DownloadFault{"ResetMidBody", "reset", CURLE_RECV_ERROR},
                      DownloadFault{"ClosedBeforeAnyByte", "close-early", CURLE_GOT_NOTHING},
                      DownloadFault{"HeaderBlockOverHundredKilobytes", "big-header", CURLE_OUT_OF_MEMORY},
                      DownloadFault{"TlsHandshakeFails", "normal", CURLE_SSL_CONNECT_ERROR, Gateway::Security::plain},
                      DownloadFault{"UnresolvableHost", "", CURLE_COULDNT_RESOLVE_HOST},
                      DownloadFault{"StalledAfterHalf", "stall", CURLE_OPERATION_TIMEDOUT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, BodyLongerThanAnnouncedIsCutAtTheAnnouncedLength)
{
    serve("TandrelUD.exe", "overflow");
    const auto result = run();

    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), result.err);
    EXPECT_EQ(readFile(published()).substr(0, fs::file_size(published()) / 2), readFile(hostDir() / "TandrelUD.exe"));
}

#ifndef _WIN32
TEST_F(EndToEnd, FullDiskEndsWithMinusFourAndAWriteError)
{
    serve("TandrelUD.exe");
    fs::create_directories(hostDir());
    fs::create_symlink("/dev/full", hostDir() / "TandrelUD.exe");

    const auto result = run();
    EXPECT_EQ(exitStatus(-4), result.exitCode);
    EXPECT_EQ(std::string("download '\"TandrelUD.exe\"' failurecurl_category@23 --->>> ")
                  + curl_easy_strerror(CURLE_WRITE_ERROR) + "\n",
              result.err);
}
#endif
