#include "Gateway.h"

#include <boost/process.hpp>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

namespace bp = boost::process;

namespace testing_support {

namespace {

constexpr std::chrono::seconds startLimit{30};

boost::filesystem::path python()
{
    const auto found = bp::search_path("python3");
    if (found.empty())
        throw std::runtime_error("gateway: python3 not found on PATH");
    return found;
}

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

} // namespace

Gateway::Gateway(const boost::filesystem::path& documentRoot, const std::string& fileMode, Security security)
    : process(python(), GATEWAY_SCRIPT, "--workdir", workDir.path().string(), "--root",
              documentRoot.string(), "--file-mode", fileMode, "--exit-on-eof",
              bp::args(security == Security::plain ? std::vector<std::string>{"--plain"} : std::vector<std::string>{}),
              bp::std_in < input, bp::std_out > output)
{
#ifndef _WIN32
    // Later children must not inherit our end of its input, or it would
    // outlive this process if the tests crash.
    ::fcntl(input.pipe().native_sink(), F_SETFD, FD_CLOEXEC);
#endif
    // The line is read on another thread so that a server that hangs
    // before printing it cannot block the tests for good.
    auto firstLine = std::async(std::launch::async, [this] {
        std::string line;
        std::getline(output, line);
        return line;
    });
    const bool timedOut = firstLine.wait_for(startLimit) != std::future_status::ready;
    if (timedOut)
        stop();  // which ends the read too
    const std::string line = firstLine.get();
    listenPort = parsePort(line);
    if (listenPort == 0) {
        stop();  // the destructor does not run when the constructor throws
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

std::string Gateway::url(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(listenPort) + path;
}

void Gateway::stop()
{
    std::error_code ec;
    if (!process.running(ec))  // reaps it if it has ended; false once stopped
        return;
    process.terminate(ec);
#ifndef _WIN32
    // terminate() reaps the process only if it is already gone; wait until it is.
    ::waitpid(process.id(), nullptr, 0);
#endif
}

} // namespace testing_support
