#include "Defer.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

// Collects what std::cerr receives while it lives.
class CaptureStderr
{
public:
    CaptureStderr()
        : saved(std::cerr.rdbuf(text.rdbuf()))
    {
    }
    ~CaptureStderr() { std::cerr.rdbuf(saved); }
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
    std::streambuf* saved;
};

} // namespace

TEST(Defer, RunsItsActionOnceOnEveryWayOut)
{
    int calls = 0;
    {
        Defer guard("f.cpp", "f", 1, [&] { ++calls; });
    }
    EXPECT_EQ(1, calls);

    const auto returnsEarly = [&](bool early) {
        Defer guard("f.cpp", "f", 1, [&] { ++calls; });
        if (early)
            return 1;
        return 2;
    };
    EXPECT_EQ(1, returnsEarly(true));
    EXPECT_EQ(2, calls);

    EXPECT_THROW(
        {
            Defer guard("f.cpp", "f", 1, [&] { ++calls; });
            throw std::runtime_error("passing through");
        },
        std::runtime_error);
    EXPECT_EQ(3, calls);

    {
        Defer empty("f.cpp", "f", 1, nullptr);
    }
}

TEST(Defer, ReportsAStandardExceptionWithItsPlace)
{
    CaptureStderr err;
    {
        Defer guard("/src/main.cpp", "main", 63, [] { throw std::runtime_error("x"); });
    }
    EXPECT_EQ("/src/main.cpp:(Function main@63) Exception in Defer: x\n", err.str());
}

TEST(Defer, ReportsAnyOtherThrownValueAndGoesOn)
{
    CaptureStderr err;
    {
        Defer guard("a.cpp", "g", -2, [] { throw 42; });
    }
    EXPECT_EQ("a.cpp:(Function g@-2) Unknown Exception in Defer!\n", err.str());
}

TEST(Defer, UnknownPlaceHasFixedNames)
{
    CaptureStderr err;
    {
        Defer guard(nullptr, nullptr, 7, [] { throw std::logic_error("y"); });
    }
    EXPECT_EQ("Unknown file:(Function Unknown func@7) Exception in Defer: y\n", err.str());
}

TEST(Defer, ThrowingActionDoesNotDisturbAnExceptionPassingThrough)
{
    CaptureStderr err;
    try {
        Defer guard("a.cpp", "g", 1, [] { throw std::runtime_error("inner"); });
        throw std::runtime_error("outer");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("outer", e.what());
    }
    EXPECT_EQ("a.cpp:(Function g@1) Exception in Defer: inner\n", err.str());
}
