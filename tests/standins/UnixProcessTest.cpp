#include "UnixProcess.h"

#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

using namespace std::chrono_literals;
using testing_support::TempDir;

TEST(UnixProcess, ReportsOutputLinesAndExitStatus)
{
    UnixProcess process({"sh", "-c", "echo one; echo two; printf 'no line end'; exit 7"});
    std::string line;
    ASSERT_TRUE(process.readLine(line, 10s));
    EXPECT_EQ("one", line);
    std::string rest;
    EXPECT_EQ(7, process.wait(rest, 10s));
    EXPECT_EQ("two\nno line end", rest);
    EXPECT_TRUE(process.ended());
    EXPECT_FALSE(process.readLine(line, 1s));
}

TEST(UnixProcess, ClosedInputReachesTheProgramAsItsEnd)
{
    UnixProcess process({"sh", "-c", "cat >/dev/null && echo input ended"});
    std::string line;
    EXPECT_FALSE(process.readLine(line, 500ms)) << "it must wait for its input: " << line;
    process.closeInput();
    ASSERT_TRUE(process.readLine(line, 10s));
    EXPECT_EQ("input ended", line);
}

TEST(UnixProcess, ProgramThatOutlivesTheLimitIsKilled)
{
    UnixProcess process({"sleep", "60"});
    const auto start = std::chrono::steady_clock::now();
    std::string rest;
    EXPECT_EQ(-1, process.wait(rest, 1s));
    EXPECT_TRUE(process.ended()) << "killing it ends its output";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST(UnixProcess, MissingProgramEndsWithTheShellsStatus)
{
    UnixProcess process({"no-such-program-here"});
    std::string rest;
    EXPECT_EQ(127, process.wait(rest, 10s));
}

TEST(UnixProcess, WindowsPathsMapToTheSameFiles)
{
    TempDir temp;
    std::ofstream((temp.path() / "file with blank.txt").string()) << "seen from Linux";
    const std::string file = UnixProcess::unixPath((temp.path() / "file with blank.txt").wstring());
    ASSERT_EQ('/', file.front()) << file;

    UnixProcess process({"cat", file});
    std::string content;
    EXPECT_EQ(0, process.wait(content, 10s));
    EXPECT_EQ("seen from Linux", content);
}
