#include "network/CurlCategory.h"

#include "network/CurluCategory.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

using tandrel::curl_category;
using tandrel::curlu_category;

TEST(CurlCategory, NamePrintsWithoutDecoration)
{
    EXPECT_STREQ("curl_category", curl_category().name());
}

TEST(CurlCategory, MessagesAreLibcurlsOwnTexts)
{
    EXPECT_EQ(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT), curl_category().message(28));
    EXPECT_EQ(curl_easy_strerror(CURLE_WRITE_ERROR), std::error_code(23, curl_category()).message());
    // The client's own values -1 and -2 still get a text.
    EXPECT_FALSE(curl_category().message(-1).empty());
    EXPECT_FALSE(curl_category().message(-2).empty());
}

TEST(CurlCategory, IsOneObjectAndCodesCompareByIt)
{
    EXPECT_EQ(&curl_category(), &curl_category());
    EXPECT_EQ(std::error_code(28, curl_category()), std::error_code(28, curl_category()));
    EXPECT_NE(std::error_code(3, curl_category()), std::error_code(3, curlu_category()));
    EXPECT_FALSE(std::error_code(0, curl_category()));
    EXPECT_TRUE(std::error_code(6, curl_category()));
}
