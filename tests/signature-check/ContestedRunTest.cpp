// Runs that others contend with while they work: the gateway holds the body
// back while someone who can write the tool's directory swaps its names, or
// holds the lock of the run's directory.
#include "EndToEndFixture.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
         own.installer = host / "moved.exe";
         return linkInstead(host / "TandrelUD.exe", own.installer, elsewhere / "TandrelUD.exe");
     }},
    {"HostDirectoryForALink",
     [](const fs::path& host, const fs::path& elsewhere, RunsFiles& own) {
         const fs::path moved = host.parent_path() / "moved";
         own = {moved / "TandrelUD.exe", moved / "result.txt"};
         return linkInstead(host, moved, elsewhere);
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

} // namespace
