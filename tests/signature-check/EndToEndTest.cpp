// Whole runs, from the login to the verdict or the failure that ends them.
#include "EndToEndFixture.h"

#include <boost/filesystem.hpp>
#include <curl/curl.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

using namespace testing_support;

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

// Runs in one directory take turns: each checks the whole installer and
// echoes its own verdict alone.
TEST_F(EndToEnd, TwoRunsAtOnceInOneDirectoryAreBothValid)
{
    serve("TandrelUD.exe", "drip"); // slow, so that the runs overlap
    ToolOptions first, second;
    ToolResult secondResult;
    second.console = "second";
    first.whileRunning = [&] { secondResult = run(second); };
    const ToolResult firstResult = run(first);
    for (const ToolResult& result : {firstResult, secondResult}) {
        EXPECT_EQ(0, result.exitCode);
        EXPECT_EQ(
            finishedRun("CheckSign: " + target + ": signature valid\n", verdictLine("VALID"), verdictLine("VALID")),
            withoutProgress(result.out, fs::file_size(published())));
    }
    EXPECT_EQ(readFile(published()), readFile(hostDir() / "TandrelUD.exe"));
}

// A closed standard stream must not lend its descriptor to a file of the run.
TEST_F(EndToEnd, ClosedStandardStreamLeavesTheResultFileToTheVerdict)
{
    serve("tampered.exe"); // its verdict goes to standard error
    for (const auto stream : {ToolOptions::Stream::out, ToolOptions::Stream::err}) {
        ToolOptions options;
        options.closed = stream;
        EXPECT_EQ(0, run(options).exitCode);
        EXPECT_EQ(textMode(verdictLine("INVALID")), readFile(hostDir() / "result.txt"));
    }
}

// Makes file, one of the run's in the working directory, an entry that a
// write could follow to outside or hang on; false when it can't.
using Plant = bool (*)(const fs::path& outside, const fs::path& file);

struct PlantedEntry
{
    const char* name;
    const char* file;
    Plant plant;
};

void PrintTo(const PlantedEntry& planted, std::ostream* out)
{
    *out << planted.name;
}

class Planted : public EndToEnd, public ::testing::WithParamInterface<PlantedEntry>
{
};

// Whatever stands at the names of the run's files, the run writes new
// regular files there, touches nothing elsewhere and is not held up.
TEST_P(Planted, EntryGivesWayToANewFile)
{
    const fs::path outside = temp.path() / "outside.txt";
    std::ofstream(outside.string()) << "outside";
    fs::create_directories(hostDir());
    if (!GetParam().plant(outside, hostDir() / GetParam().file))
        GTEST_SKIP() << "the system makes no such entry here (Wine makes no symbolic links)";

    serve("TandrelUD.exe");
    EXPECT_EQ(0, run().exitCode);
    // Reading a FIFO left in place would hang.
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(hostDir() / GetParam().file)));
    EXPECT_EQ(textMode(verdictLine("VALID")), readFile(hostDir() / "result.txt"));
    EXPECT_EQ(readFile(published()), readFile(hostDir() / "TandrelUD.exe"));
    EXPECT_EQ("outside", readFile(outside));
}

const Plant plantSymlink = [](const fs::path& outside, const fs::path& file) { return makeSymlink(outside, file); };
const Plant plantHardLink = [](const fs::path& outside, const fs::path& file) {
    fs::create_hard_link(outside, file);
    return fs::hard_link_count(file) == 2;
};
#ifndef _WIN32
const Plant plantFifo = [](const fs::path&, const fs::path& file) { return mkfifo(file.c_str(), 0600) == 0; };
const Plant plantEndless = [](const fs::path&, const fs::path& file) { return makeSymlink("/dev/zero", file); };
#endif

const PlantedEntry plantedEntries[] = {
    {"InstallerSymlink", "TandrelUD.exe", plantSymlink}, {"InstallerHardLink", "TandrelUD.exe", plantHardLink},
    {"ResultSymlink", "result.txt", plantSymlink},       {"ResultHardLink", "result.txt", plantHardLink},
#ifndef _WIN32
    {"InstallerFifo", "TandrelUD.exe", plantFifo},       {"ResultFifo", "result.txt", plantFifo},
    {"ResultEndlessDevice", "result.txt", plantEndless},
#endif
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, Planted, ::testing::ValuesIn(plantedEntries),
                         [](const auto& info) { return std::string(info.param.name); });

// A genuine installer left by an earlier run is never judged in place of
// what the gateway sends (here: nothing). Linux: a read-only file, another
// user's too, gives way to a new one. Windows keeps a read-only file, and
// both keep a directory: the download fails before it starts.
TEST_F(EndToEnd, StaleInstallerIsNeverJudged)
{
    const fs::path stale = hostDir() / "TandrelUD.exe";
    fs::create_directories(hostDir());
    fs::copy_file(signedFile("TandrelUD.exe"), stale);
    fs::permissions(stale, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#ifndef _WIN32
    if (geteuid() == 0) {
        EXPECT_EQ(0, chown(stale.c_str(), 65534, 65534));
    }
#endif
    serve("TandrelUD.exe", "empty");
    const auto notWritable = run();
#ifdef _WIN32
    EXPECT_EQ(exitStatus(-4), notWritable.exitCode);
    EXPECT_EQ(0u, notWritable.err.rfind("download '\"TandrelUD.exe\"' failuresystem@5 --->>> ", 0)) << notWritable.err;
    fs::permissions(stale, fs::perms::owner_all);
#else
    EXPECT_EQ(0, notWritable.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), notWritable.err);
    EXPECT_EQ("", readFile(stale));
#endif

    fs::remove(stale);
    fs::create_directory(stale);
    const auto directory = run();
    EXPECT_EQ(exitStatus(-4), directory.exitCode);
    EXPECT_EQ(0u, directory.err.rfind("download '\"TandrelUD.exe\"' failuresystem@", 0)) << directory.err;
    EXPECT_EQ("", readFile(hostDir() / "result.txt"));
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
    // The gateway drips the installer, so the download outlasts the checker,
    // removed once the download has begun (its file is made as it begins).
    serve("TandrelUD.exe", "drip");
    const fs::path download = hostDir() / "TandrelUD.exe";
    const auto result = run(true, [&] {
        for (int i = 0; i < 2000 && !fs::exists(download); ++i)
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
    // Writes past 1 KiB fail (EFBIG) in the tool, as on a full disk (ENOSPC).
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{1024, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    signal(SIGXFSZ, SIG_IGN); // inherited, so that the tool sees the error
    const auto result = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(exitStatus(-4), result.exitCode);
    EXPECT_EQ(std::string("download '\"TandrelUD.exe\"' failurecurl_category@23 --->>> ")
                  + curl_easy_strerror(CURLE_WRITE_ERROR) + "\n",
              result.err);
}
#endif
