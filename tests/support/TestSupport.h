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
// one test. On Windows, where the registry is the machine's, a root not seen
// before stands for a fresh machine: the VPN client stand-in's registration
// that earlier tests left is removed. An empty root (Linux) leaves
// WIN32_STANDIN_ROOT unset, for the stand-in's default.
void useStandinRoot(const fs::path& root);

// Waits for child at most 60 s and returns its exit code; ends it and
// throws std::runtime_error when it runs longer.
int finish(boost::process::child& child);

// The exit status the operating system reports for a program that returned
// code: its low 8 bits on Linux, the whole 32-bit value on Windows.
int exitStatus(int code);

// Whether this is a Windows process running under Wine (false on Linux).
bool underWine();

// Why a test whose server ends a TLS connection with close_notify is skipped
// under Wine: Wine's Schannel hands the alert on as zero bytes of data
// instead of SEC_I_CONTEXT_EXPIRED, so libcurl reads on until the TCP close
// and fails with CURLE_RECV_ERROR, where Windows ends the data there.
extern const char* const wineCloseNotifyGap;

// Why verified TLS is tested only in part under Wine: Wine 8's chain engine
// accepts a self-signed server against the system's store and refuses the
// exclusive root store libcurl's Schannel builds for a CA file; pinning and
// client certificates are tested there all the same.
extern const char* const wineChainGap;

// Makes link a symbolic link to target (a file or a directory). False where
// the system makes none: Wine's CreateSymbolicLinkW reports success but
// makes no link; Windows refuses it without the privilege.
bool makeSymlink(const fs::path& target, const fs::path& link);

// The bytes a text-mode output stream writes for text: line ends become
// CR LF on Windows.
std::string textMode(const std::string& text);

// What the console's "pause" writes when standard input is at its end: the
// Linux stand-in's prompt and line end, or on Windows what cmd.exe's pause
// prints there (its console text, with CR LF read as LF).
const std::string& pauseOutput();

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
    std::string out; // standard output, or both streams when merged
    std::string err;
};

struct ToolOptions
{
    enum class Stream { none, out, err };

    bool mergeStreams = false;          // standard error goes to standard output
    std::function<void()> whileRunning; // if set, called once the tool has started
    Stream closed = Stream::none;       // a standard stream the tool starts without
    std::string console = "tool";       // its own for each of runs at the same time
};

// Runs the tool copied into toolDir, with the stand-in root, standard input
// at its end (so "pause" returns at once) and a time limit of 60 s. The
// console text is given with LF line ends; on Windows the raw output (CR LF)
// stays in consoleFile(toolDir, options.console) until the next run.
ToolResult runTool(const fs::path& toolDir, const fs::path& root, const ToolOptions& options = {});

// Where runTool keeps the tool's raw standard output.
fs::path consoleFile(const fs::path& toolDir, const std::string& console = "tool");

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
