#include "Progress.h"

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

TEST(ProgressLine, RewritesItselfInPlaceWithoutLineFeed)
{
    std::ostringstream text;
    std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
    printProgress(100, 1000);
    printProgress(1000, 1000);
    std::cout.rdbuf(saved);

    EXPECT_EQ("Download progress: 100/1000\rDownload progress: 1000/1000\r", text.str());
}

TEST(ProgressLine, PrintsFullSixtyFourBitCounts)
{
    std::ostringstream text;
    std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
    printProgress(18446744073709551615ull, 18446744073709551615ull);
    std::cout.rdbuf(saved);

    EXPECT_EQ("Download progress: 18446744073709551615/18446744073709551615\r", text.str());
}

TEST(QuotedPath, QuotesAndEscapesWithAmpersand)
{
    const auto quoted = [](const char* name) {
        std::ostringstream text;
        text << boost::filesystem::path(name);
        return text.str();
    };
    EXPECT_EQ("\"TandrelUD.exe\"", quoted("TandrelUD.exe"));
    EXPECT_EQ("\"a&\"b&&c\"", quoted("a\"b&c"));
}
