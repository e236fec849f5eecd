#include "network/CurluCategory.h"

#include <gtest/gtest.h>

#include <climits>

using tandrel::curlu_category;

TEST(CurluCategory, NamePrintsWithoutDecoration)
{
    EXPECT_STREQ("curlu_category", curlu_category().name());
}

TEST(CurluCategory, TableCoversZeroToSeventeenOnly)
{
    EXPECT_EQ("CURLUE_OK", curlu_category().message(0));
    EXPECT_EQ("CURLUE_BAD_PORT_NUMBER", curlu_category().message(4));
    EXPECT_EQ("CURLUE_NO_USER", curlu_category().message(11));
    EXPECT_EQ("CURLUE_NO_HOST", curlu_category().message(14));
    EXPECT_EQ("CURLUE_NO_FRAGMENT", curlu_category().message(17));
    EXPECT_EQ("Unknown CURLUE Error", curlu_category().message(18));
    EXPECT_EQ("Unknown CURLUE Error", curlu_category().message(-1));
    EXPECT_EQ("Unknown CURLUE Error", curlu_category().message(INT_MIN));
}

TEST(CurluCategory, IsOneObjectAndZeroMeansNoFailure)
{
    EXPECT_EQ(&curlu_category(), &curlu_category());
    EXPECT_EQ(std::error_code(14, curlu_category()), std::error_code(14, curlu_category()));
    EXPECT_FALSE(std::error_code(0, curlu_category()));
}
