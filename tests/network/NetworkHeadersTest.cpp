#include "network/NetworkHeaders.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

using tandrel::HeaderType;
using tandrel::NetworkHeaders;

TEST(NetworkHeaders, KnownTypesHaveCanonicalNamesAndOthersAreUnknown)
{
    const char* const names[] = {
        "Content-Type",
        "Content-Length",
        "Location",
        "Last-Modified",
        "Cookie",
        "Set-Cookie",
        "Content-Disposition",
        "User-Agent",
        "Server",
        "If-Modified-Since",
        "ETag",
        "If-Match",
        "If-None-Match",
        "Transfer-Encoding",
        "Access-Control-Allow-Origin",
    };
    for (int type = 0; type < 15; ++type)
        EXPECT_EQ(names[type], NetworkHeaders::headerName(static_cast<HeaderType>(type))) << type;

    EXPECT_EQ("Unknown-Header", NetworkHeaders::headerName(static_cast<HeaderType>(15)));
    EXPECT_EQ("Unknown-Header", NetworkHeaders::headerName(static_cast<HeaderType>(-1)));
}

TEST(NetworkHeaders, LinesFollowByteOrderOfNamesNotOrderOfSetting)
{
    NetworkHeaders headers;
    EXPECT_TRUE(headers.headerLines().empty());

    headers.setHeader("x-upper", "3");
    headers.setHeader("X-Upper", "2");
    headers.setHeader("Accept", "text/plain");
    headers.setHeader("Empty", "");
    headers.setHeader("Null", nullptr);
    headers.setHeader("X-Upper", "replaced");

    // Names differing only in case are separate entries; upper case sorts first.
    const std::list<std::string> expected = {
        "Accept: text/plain", "Empty: ", "Null: ", "X-Upper: replaced", "x-upper: 3",
    };
    EXPECT_EQ(expected, headers.headerLines());
}

TEST(NetworkHeaders, DumpListsEveryEntryUnderTitle)
{
    NetworkHeaders headers;
    EXPECT_EQ("header:\n", headers.toString());

    headers.setHeader("b", "two words");
    headers.setHeader("a", "x: y");
    EXPECT_EQ("header:\na: x: y\nb: two words\n", headers.toString());
}
