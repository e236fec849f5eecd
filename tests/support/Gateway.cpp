#include "Gateway.h"

#include <boost/process.hpp>

#ifdef _WIN32
#include "UnixProcess.h"
#else
#include <fcntl.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

namespace bp = boost::process;

namespace testing_support {

namespace {

constexpr std::chrono::seconds startLimit{30};

// The port from the server's first line, "port N"; 0 if the line is not that.
unsigned short parsePort(const std::string& line)
{
    const std::string prefix = "port ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return 0;
    try {
        const unsigned long port = std::stoul(line.substr(prefix.size()));
        return port <= 65535 ? static_cast<unsigned short>(port) : 0;
    } catch (const std::logic_error&) {
        return 0;
    }
}

#ifdef _WIN32
// The server is a Linux program, so it is given Linux paths.
std::string serverPath(const boost::filesystem::path& path)
{
    return UnixProcess::unixPath(path.wstring());
}
#else
std::string serverPath(const boost::filesystem::path& path)
{
    return path.string();
}

boost::filesystem::path python()
{
    const auto found = bp::search_path("python3");
    if (found.empty())
        throw std::runtime_error("gateway: python3 not found on PATH");
    return found;
}
#endif

} // namespace

Gateway::Gateway(const boost::filesystem::path& documentRoot, const std::string& fileMode, Security security,
                 const std::vector<std::string>& extraArguments)
{
    std::vector<std::string> arguments({GATEWAY_SCRIPT, "--workdir", serverPath(workDir.path()), "--root",
                                        serverPath(documentRoot), "--file-mode", fileMode, "--exit-on-eof"});
    if (security == Security::plain)
        arguments.push_back("--plain");
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());

    bool timedOut = false;
    const std::string line = start(arguments, timedOut);
    listenPort = parsePort(line);
    if (listenPort == 0) {
        stop(); // the destructor does not run when the constructor throws
        if (timedOut)
            throw std::runtime_error("gateway: no port reported within the time limit");
        if (line.empty())
            throw std::runtime_error("gateway: exited before reporting its port (see its stderr)");
        throw std::runtime_error("gateway: unexpected first line \"" + line + "\"");
    }
}

Gateway::~Gateway()
{
    stop();
}

fs::path Gateway::certificate() const
{
    return workDir.path() / "cert.pem";
}

std::string Gateway::pin() const
{
    return readFile(workDir.path() / "pin.txt");
}

void Gateway::release() const
{
    std::ofstream((workDir.path() / "release").string());
}

std::string Gateway::proxyLog() const
{
    const fs::path log = workDir.path() / "proxy.log";
    return fs::exists(log) ? readFile(log) : "";
}

std::string Gateway::url(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(listenPort) + path;
}

#ifdef _WIN32

// Under Wine the Windows tests start the gateway on the Linux side.
std::string Gateway::start(const std::vector<std::string>& arguments, bool& timedOut)
{
    std::vector<std::string> argv = {"python3"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    server = std::make_unique<UnixProcess>(argv);
    std::string line;
    timedOut = !server->readLine(line, startLimit) && !server->ended();
    return line;
}

void Gateway::stop()
{
    // Its input ends, so it stops; one that does not is killed.
    server.reset();
}

#else

std::string Gateway::start(const std::vector<std::string>& arguments, bool& timedOut)
{
    process = bp::child(python(), bp::args(arguments), (bp::std_in < input), bp::std_out > output);
    // Later children must not inherit our end of its input, or it would
    // outlive this process if the tests crash.
    ::fcntl(input.pipe().native_sink(), F_SETFD, FD_CLOEXEC);
    // The line is read on another thread so that a server that hangs
    // before printing it cannot block the tests for good.
    auto firstLine = std::async(std::launch::async, [this] {
        std::string line;
        std::getline(output, line);
        return line;
    });
    timedOut = firstLine.wait_for(startLimit) != std::future_status::ready;
    if (timedOut)
        stop(); // which ends the read too
    return firstLine.get();
}

void Gateway::stop()
{
    std::error_code ec;
    if (!process.running(ec)) // reaps it if it has ended; false once stopped
        return;
    process.terminate(ec);
    // terminate() reaps the process only if it is already gone; wait until it is.
    ::waitpid(process.id(), nullptr, 0);
}

#endif

} // namespace testing_support
