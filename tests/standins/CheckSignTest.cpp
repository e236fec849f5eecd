// The Windows checker stand-in on its own; its verdicts on the signed,
// tampered, unsigned and foreign-signed installers are in EndToEndTest.
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <boost/process.hpp>
#include <gtest/gtest.h>

#include <string>

using namespace testing_support;
namespace bp = boost::process;

namespace {

struct Verdict
{
    int exitCode;
    std::string out;
};

Verdict check(const fs::path& toolDir, const std::vector<std::string>& arguments)
{
    const fs::path out = toolDir.parent_path() / "checker-output.txt";
    bp::child checker(toolDir / "CheckSign.exe", bp::args(arguments), bp::start_dir = toolDir.string(),
                      (bp::std_in < bp::null), (bp::std_out & bp::std_err) > out);
    const int exitCode = finish(checker);
    return {exitCode, readFile(out)};
}

class CheckSign : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(toolDir());
        installChecker(toolDir());
        fs::copy_file(signedFile("TandrelUD.exe"), toolDir() / "signed.exe");
    }

    fs::path toolDir() const { return temp.path() / "tool"; }

    TempDir temp;
};

} // namespace

TEST_F(CheckSign, JudgesAgainstTheAnchorBesideIt)
{
    EXPECT_EQ(0, check(toolDir(), {"signed.exe"}).exitCode);

    // A root that did not issue the signer: not valid.
    fs::copy_file(signedFile("wrong-ca.pem"), toolDir() / "CheckSign.ca.pem", fs::copy_options::overwrite_existing);
    const Verdict foreign = check(toolDir(), {"signed.exe"});
    EXPECT_EQ(1, foreign.exitCode);
    EXPECT_EQ(textMode("CheckSign: signed.exe: signature not valid\n"), foreign.out);

    fs::remove(toolDir() / "CheckSign.ca.pem");
    const Verdict unanchored = check(toolDir(), {"signed.exe"});
    EXPECT_EQ(1, unanchored.exitCode);
    EXPECT_NE(std::string::npos, unanchored.out.find("no trust anchor")) << unanchored.out;
}

TEST_F(CheckSign, MissingFileIsNotValidAndWrongUsageIsTwo)
{
    const Verdict missing = check(toolDir(), {"absent.exe"});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_EQ(textMode("CheckSign: absent.exe: signature not valid\n"), missing.out);

    EXPECT_EQ(2, check(toolDir(), {}).exitCode);
    EXPECT_EQ(2, check(toolDir(), {"a", "b"}).exitCode);
}
