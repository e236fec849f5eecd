// Runs that others contend with while they work: the gateway holds the body
// back while someone who can write the tool's directory swaps its names, or
// holds the lock of the run's directory.
#include "EndToEndFixture.h"

#include "platform/Files.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

using namespace testing_support;

namespace {

// Waits (at most 20 s) until file exists: the run has begun its download.
bool appears(const fs::path& file)
{
    for (int i = 0; i < 2000 && !fs::exists(fs::symlink_status(file)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fs::exists(fs::symlink_status(file));
}

class Contested : public EndToEnd
{
protected:
    // Runs the tool; once its download has begun, calls act, then lets the
    // gateway (file mode hold) send the rest.
    ToolResult runHeld(const std::function<void()>& act, ToolOptions options = {})
    {
        options.whileRunning = [&] {
            EXPECT_TRUE(appears(hostDir() / "TandrelUD.exe"));
            act();
            gateway->release();
        };
        return run(options);
    }

    fs::path elsewhere() const { return temp.path() / "elsewhere"; }
};

// Where the run's own files are.
struct RunsFiles
{
    fs::path installer;
    fs::path result;
};

// Swaps a name of the run's for one that leads to a genuine installer or a
// forged verdict, and tells where the run's own files went; false when the
// system refuses (Windows keeps the names of open files; Wine makes no links).
using Swap = bool (*)(const fs::path& hostDir, const fs::path& elsewhere, RunsFiles& moved);

struct SwappedName
{
    const char* name;
    Swap swap;
};

void PrintTo(const SwappedName& swapped, std::ostream* out)
{
    *out << swapped.name;
}

class Swapped : public Contested, public ::testing::WithParamInterface<SwappedName>
{
};

// The gateway sends a tampered installer; whatever the names lead to when
// the checker looks, the verdict is on what the run downloaded, written and
// echoed through its own files.
TEST_P(Swapped, NameChangesNothingOfTheRun)
{
    fs::create_directories(elsewhere());
    fs::copy_file(signedFile("TandrelUD.exe"), elsewhere() / "TandrelUD.exe");
    serve("tampered.exe", "hold");
    RunsFiles own{hostDir() / "TandrelUD.exe", hostDir() / "result.txt"};
    const auto result = runHeld([&] {
        if (!GetParam().swap(hostDir(), elsewhere(), own))
            std::cout << "the system kept the name from being swapped\n";
    });

    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), result.err);
    EXPECT_TRUE(inOrder(result.out, {"is as follows:\n" + verdictLine("INVALID") + "\n"})) << result.out;
    EXPECT_EQ(readFile(published()), readFile(own.installer));
    EXPECT_EQ(textMode(verdictLine("INVALID")), readFile(own.result));
    EXPECT_EQ(readFile(signedFile("TandrelUD.exe")), readFile(elsewhere() / "TandrelUD.exe"));
}

// Moves entry to aside and puts a link to target in its place.
bool linkInstead(const fs::path& entry, const fs::path& aside, const fs::path& target)
{
    boost::system::error_code ec;
    fs::rename(entry, aside, ec);
    if (ec)
        return false;
    if (makeSymlink(target, entry))
        return true;
    fs::rename(aside, entry);
    return false;
}

const SwappedName swappedNames[] = {
    {"InstallerForALink",
     [](const fs::path& host, const fs::path& elsewhere, RunsFiles& own) {
         if (!linkInstead(host / "TandrelUD.exe", host / "moved.exe", elsewhere / "TandrelUD.exe"))
             return false;
         own.installer = host / "moved.exe";
         return true;
     }},
    {"HostDirectoryForALink",
     [](const fs::path& host, const fs::path& elsewhere, RunsFiles& own) {
         const fs::path moved = host.parent_path() / "moved";
         if (!linkInstead(host, moved, elsewhere))
             return false;
         own = {moved / "TandrelUD.exe", moved / "result.txt"};
         return true;
     }},
    {"ResultForAForgedOne",
     [](const fs::path& host, const fs::path&, RunsFiles& own) {
         boost::system::error_code ec;
         fs::rename(host / "result.txt", host / "moved.txt", ec);
         if (ec)
             return false;
         own.result = host / "moved.txt";
         std::ofstream((host / "result.txt").string()) << verdictLine("VALID");
         return true;
     }},
};

INSTANTIATE_TEST_SUITE_P(Contested, Swapped, ::testing::ValuesIn(swappedNames),
                         [](const auto& info) { return std::string(info.param.name); });

// A run that holds the directory (here: the test, through the tool's own
// lock) holds up another only for the time limit: the other one then ends
// with the lock's error and downloads nothing.
TEST_F(Contested, HeldLockEndsTheOtherRunAfterTheLimit)
{
    fs::create_directories(hostDir());
    platform::HostDirectory directory;
    ASSERT_FALSE(directory.open(hostDir().string()));
    const platform::RunFile held = directory.lockFile("result.txt", std::chrono::milliseconds(0));
    ASSERT_TRUE(held);
    serve("TandrelUD.exe");
#ifdef _WIN32
    const int conflict = ERROR_LOCK_VIOLATION;
#else
    const int conflict = EAGAIN;
#endif
    const auto result = run();
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("system@" + std::to_string(conflict) + " --->>> " + std::system_category().message(conflict) + "\n",
              result.err);
    EXPECT_FALSE(fs::exists(hostDir() / "TandrelUD.exe"));
}

#ifndef _WIN32
// Reading the result file is no right to hold up a run: locks a mere reader
// took on it give way. (Windows lets readers lock, and the test its own.)
TEST_F(Contested, ReadersLocksHoldUpNoRun)
{
    fs::create_directories(hostDir());
    std::ofstream((hostDir() / "result.txt").string()) << "earlier\n";
    const int reader = ::open((hostDir() / "result.txt").c_str(), O_RDONLY | O_CLOEXEC);
    struct flock shared = {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    ASSERT_EQ(0, fcntl(reader, F_OFD_SETLK, &shared));
    ASSERT_EQ(0, flock(reader, LOCK_EX));
    serve("TandrelUD.exe");
    const auto result = run();
    ::close(reader);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(verdictLine("VALID"), readFile(hostDir() / "result.txt"));
}

ino_t inode(const fs::path& file)
{
    struct stat status = {};
    return ::stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
}

// A run that starts after the first one's lock file was removed works on
// its own files: the first one's installer is not written twice, and the
// first, whose installer name then leads to the second's, vouches for
// nothing. (Windows keeps a held file from being removed.)
TEST_F(Contested, RemovedLockFileLetsNoTwoRunsWriteOneInstaller)
{
    serve("TandrelUD.exe", "hold");
    const fs::path installer = hostDir() / "TandrelUD.exe";
    ToolOptions second;
    second.console = "second";
    ToolResult secondResult;
    const auto first = runHeld([&] {
        const ino_t firsts = inode(installer);
        fs::remove(hostDir() / "result.txt");
        second.whileRunning = [&] {
            for (int i = 0; i < 2000 && inode(installer) == firsts; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_NE(firsts, inode(installer)) << "the second run did not make an installer of its own";
            gateway->release();
        };
        secondResult = run(second);
    });

    EXPECT_EQ(0, secondResult.exitCode);
    EXPECT_EQ("", secondResult.err);
    EXPECT_EQ(0, first.exitCode);
    EXPECT_EQ(verdictLine("INVALID"), first.err);
    EXPECT_EQ(readFile(published()), readFile(installer));
}
#endif

} // namespace
