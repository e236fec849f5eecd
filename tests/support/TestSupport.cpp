#include "TestSupport.h"

#include <boost/filesystem.hpp>
#include <boost/process.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace bp = boost::process;

namespace testing_support {

namespace {

constexpr std::chrono::seconds processTimeLimit{60};

// Whether child ended within limit. Polls running(): Boost's wait_for can
// miss an exit that happened just before it was called and sleep the whole
// limit.
bool waitBounded(bp::child& child, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (child.running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Console text as the tests compare it: a Windows program's text-mode
// output has CR LF line ends.
std::string consoleText(const std::string& raw)
{
#ifdef _WIN32
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n'))
            text += raw[i];
    }
    return text;
#else
    return raw;
#endif
}

} // namespace

int finish(bp::child& child)
{
    if (!waitBounded(child, processTimeLimit)) {
        child.terminate();
        throw std::runtime_error("process did not end within the time limit");
    }
    return child.exit_code();
}

TempDir::TempDir()
    : dir(fs::temp_directory_path() / fs::unique_path("sigcheck-test-%%%%-%%%%-%%%%"))
{
    fs::create_directories(dir);
    // Its own user's alone, as mkdtemp makes one: the tool trusts nothing
    // that others may write.
    fs::permissions(dir, fs::perms::owner_all);
}

TempDir::~TempDir()
{
    boost::system::error_code ec;
    fs::remove_all(dir, ec);
}

void useStandinRoot(const fs::path& root)
{
#ifdef _WIN32
    static fs::path current;
    if (root != current) {
        // The keys the VPN client stand-in writes.
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "TandrelCore.TandrelCoreCom.1");
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}");
        current = root;
    }
#else
    if (root.empty())
        unsetenv("WIN32_STANDIN_ROOT");
    else
        setenv("WIN32_STANDIN_ROOT", root.c_str(), 1);
#endif
}

int exitStatus(int code)
{
#ifdef _WIN32
    return code;
#else
    return code & 0xff;
#endif
}

const char* const wineCloseNotifyGap = "Wine's Schannel does not report the server's close_notify";
const char* const wineChainGap = "Wine's chain engine takes a self-signed server and refuses a CA file's "
                                 "exclusive root store; verified cases left out, pins and client certificates run";

bool underWine()
{
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool makeSymlink(const fs::path& target, const fs::path& link)
{
    boost::system::error_code ec;
    if (fs::is_directory(target))
        fs::create_directory_symlink(target, link, ec);
    else
        fs::create_symlink(target, link, ec);
    return !ec && fs::is_symlink(link);
}

std::string textMode(const std::string& text)
{
#ifdef _WIN32
    std::string written;
    for (char c : text)
        written += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return written;
#else
    return text;
#endif
}

const std::string& pauseOutput()
{
#ifdef _WIN32
    static const std::string output = [] {
        TempDir temp;
        const fs::path file = temp.path() / "pause.txt";
        bp::child cmd(bp::search_path("cmd"), "/c", "pause", (bp::std_in < bp::null), bp::std_out > file);
        finish(cmd);
        return consoleText(readFile(file));
    }();
#else
    static const std::string output = "Press any key to continue . . . \n";
#endif
    return output;
}

VpnClient::VpnClient(const fs::path& root, const std::vector<std::string>& options)
{
    // Handed down through the environment; Boost 1.74's bp::env reads out of bounds.
    useStandinRoot(root);
    process = bp::child(VPN_CLIENT_PATH, bp::args(options), (bp::std_in < input), bp::std_out > output);
#ifndef _WIN32
    // Processes started later must not inherit the write end, or the client
    // never sees its input end.
    ::fcntl(input.pipe().native_sink(), F_SETFD, FD_CLOEXEC);
#endif
    std::string line;
    isReady = std::getline(output, line) && line.rfind("ready", 0) == 0;
}

VpnClient::~VpnClient()
{
    if (!process.running())
        return;
    input.pipe().close();
    if (!waitBounded(process, processTimeLimit))
        process.terminate();
}

void VpnClient::kill()
{
    process.terminate();
#ifndef _WIN32
    // terminate() reaps the process only if it is already gone; wait until it is.
    ::waitpid(process.id(), nullptr, 0);
#endif
}

ToolResult runTool(const fs::path& toolDir, const fs::path& root, const ToolOptions& options)
{
    using Stream = ToolOptions::Stream;
    const fs::path out = consoleFile(toolDir, options.console);
    const fs::path err = toolDir.parent_path() / (options.console + "-stderr.txt");
    const fs::path tool = toolDir / fs::path(TOOL_PATH).filename();
    useStandinRoot(root);
    // Boost.Process opens them without truncating.
    fs::remove(out);
    fs::remove(err);

    ToolResult result;
    const auto in = bp::std_in < bp::null;
    bp::child child = options.mergeStreams            ? bp::child(tool, in, (bp::std_out & bp::std_err) > out)
                      : options.closed == Stream::out ? bp::child(tool, in, bp::std_out.close(), bp::std_err > err)
                      : options.closed == Stream::err ? bp::child(tool, in, bp::std_out > out, bp::std_err.close())
                                                      : bp::child(tool, in, bp::std_out > out, bp::std_err > err);
    if (options.whileRunning)
        options.whileRunning();
    result.exitCode = finish(child);
    result.out = consoleText(readFile(out));
    if (!options.mergeStreams)
        result.err = consoleText(readFile(err));
    return result;
}

fs::path consoleFile(const fs::path& toolDir, const std::string& console)
{
    return toolDir.parent_path() / (console + "-stdout.txt");
}

void installTool(const fs::path& toolDir, bool withChecker)
{
    fs::create_directories(toolDir);
    fs::copy_file(TOOL_PATH, toolDir / fs::path(TOOL_PATH).filename(), fs::copy_options::overwrite_existing);
    if (withChecker)
        std::ofstream(toolDir / "CheckSign.exe").put('\0');
}

void installChecker(const fs::path& toolDir)
{
    fs::copy_file(CHECKER_PATH, toolDir / "CheckSign.exe", fs::copy_options::overwrite_existing);
    fs::copy_file(signedFile("ca.pem"), toolDir / "CheckSign.ca.pem", fs::copy_options::overwrite_existing);
}

fs::path signedFile(const std::string& name)
{
    return fs::path(SIGNED_DIR) / name;
}

fs::path componentLibrary()
{
    return COMPONENT_PATH;
}

fs::path libraryWithoutExport()
{
    return NOEXPORT_PATH;
}

std::string readFile(const fs::path& file)
{
    std::ifstream in(file.string(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace testing_support
