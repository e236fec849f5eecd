#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/process/child.hpp>
#include <boost/process/pipe.hpp>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = boost::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return dir; }

private:
    fs::path dir;
};

// Points the Win32 stand-in (Linux) of this process and of the processes it
// starts at root, so that they see only the mutexes and registry entries of
// one test.
void useStandinRoot(const fs::path& root);

// The exit status the operating system reports for a program that returned code.
int exitStatus(int code);

// The VPN client stand-in, running with the given options and the stand-in
// root; it is up (registered, logged in) once the constructor returns.
class VpnClient
{
public:
    VpnClient(const fs::path& root, const std::vector<std::string>& options);
    ~VpnClient();
    VpnClient(const VpnClient&) = delete;
    VpnClient& operator=(const VpnClient&) = delete;

    bool ready() const { return isReady; }
    // Ends it at once, as a crash or a kill would.
    void kill();

private:
    boost::process::opstream input;
    boost::process::ipstream output;
    boost::process::child process;
    bool isReady = false;
};

struct ToolResult
{
    int exitCode = 0;
    std::string out;  // standard output, or both streams when merged
    std::string err;
};

// Runs the tool copied into toolDir, with the stand-in root, standard input
// at its end (so "pause" returns at once) and a time limit of 60 s.
// whileRunning, if set, is called once the tool has started.
ToolResult runTool(const fs::path& toolDir, const fs::path& root, bool mergeStreams = false,
                   const std::function<void()>& whileRunning = {});

// Installs a copy of the tool into toolDir, optionally with an empty file
// standing for the checker beside it (enough for runs that end earlier).
void installTool(const fs::path& toolDir, bool withChecker = true);

// Installs the checker stand-in and its trust anchor beside the tool.
void installChecker(const fs::path& toolDir);

// A file made by the signing set-up at build time: ca.pem, TandrelUD.exe
// (signed), tampered.exe, unsigned.exe, wrong-signer.exe.
fs::path signedFile(const std::string& name);

// The built stand-in libraries.
fs::path componentLibrary();
fs::path libraryWithoutExport();

std::string readFile(const fs::path& file);

} // namespace testing_support
