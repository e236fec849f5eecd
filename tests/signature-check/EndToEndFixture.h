#pragma once

#include "RunFixture.h"

#include "support/Gateway.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

// Whole runs through the real binary: the VPN client, the HTTPS gateway and
// the signature checker are the stand-ins, the installer is really signed.
namespace testing_support {

inline const std::string target = (fs::path("127.0.0.1") / "TandrelUD.exe").string();
inline const std::string resultPath = (fs::path("127.0.0.1") / "result.txt").string();

inline std::string verdictLine(const std::string& verdict)
{
    return verdict + "\t\"TandrelUD.exe\"\t" + target + "\n";
}

// What the run prints on standard output when it got to the end, with the
// checker's own line and the verdict lines that went to standard output.
inline std::string finishedRun(const std::string& checkerLine, const std::string& consoleVerdict,
                               const std::string& resultContent)
{
    return "Download \"TandrelUD.exe\"\n\n" + checkerLine + "\n" + consoleVerdict + "Operator Finished\n\n\n"
           + "The verification result '" + resultPath + "' is as follows:\n" + resultContent + "\n" + pauseOutput();
}

// The output without its progress line, which is rewritten a varying number
// of times; the last rewrite must show the whole size.
inline std::string withoutProgress(const std::string& out, std::uintmax_t size)
{
    const std::string last = "Download progress: " + std::to_string(size) + "/" + std::to_string(size) + "\r\n";
    EXPECT_NE(std::string::npos, out.find(last)) << out;
    return std::regex_replace(out, std::regex("Download progress: [0-9]+/[0-9]+\r"), "");
}

class EndToEnd : public Run
{
protected:
    void SetUp() override
    {
        Run::SetUp();
        installChecker(toolDir());
        fs::create_directories(documentRoot() / "com" / "win");
    }

    // Publishes installer as the gateway's TandrelUD.exe and logs in to it.
    void serve(const std::string& installer, const std::string& fileMode = "normal",
               Gateway::Security security = Gateway::Security::tls)
    {
        fs::copy_file(signedFile(installer), published(), fs::copy_options::overwrite_existing);
        vpn.reset();
        gateway.reset();
        gateway = std::make_unique<Gateway>(documentRoot(), fileMode, security);
        login({"--address", "127.0.0.1", "--port", std::to_string(gateway->port())});
    }

    fs::path documentRoot() const { return temp.path() / "gateway"; }
    fs::path published() const { return documentRoot() / "com" / "win" / "TandrelUD.exe"; }
    fs::path hostDir() const { return toolDir() / "127.0.0.1"; }

    std::unique_ptr<Gateway> gateway;
};

} // namespace testing_support
