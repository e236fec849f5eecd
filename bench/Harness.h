#pragma once

// Process plumbing for the client benchmark: a temporary directory, child
// processes measured by wait4, and an nginx of the benchmark's own.

#include <boost/filesystem/path.hpp>

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bench {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d);

// Makes SIGINT and SIGTERM end the benchmark through its normal clean-up:
// waits are interrupted and throw, so children are stopped and temporary
// files removed.
void catchInterrupts();
// Throws if SIGINT or SIGTERM arrived.
void checkInterrupted();

// A fresh directory under the system's temporary directory, readable by
// nginx's unprivileged workers, removed with its contents when the object goes.
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

// What a finished child used, from wait4.
struct Usage
{
    int status = -1;        // exit code, or -1 when it did not exit normally
    double wallSeconds = 0; // from spawn to reaping
    double cpuSeconds = 0;  // user + system, all its threads
    double peakRssMiB = 0;  // ru_maxrss
    std::string output;     // what it wrote to standard output and error
};

// A child process, started with fork and exec, with standard input from
// /dev/null and standard output and error into a file. It gets SIGTERM if the benchmark
// dies first, so nothing outlives it.
class Child
{
public:
    // With ownGroup the child leads a process group of its own, which stop()
    // signals as a whole.
    Child(const std::vector<std::string>& argv, const fs::path& outputFile, bool ownGroup = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return processId; }
    // True while it has not exited (reaps nothing).
    bool running();
    // Waits for its exit for at most limit; past it, kills it with SIGKILL,
    // reaps it and throws.
    Usage wait(std::chrono::milliseconds limit);
    // Sends sig to it (to its group, if it leads one), then waits as above.
    Usage stop(int sig, std::chrono::milliseconds limit);

private:
    pid_t processId = -1;
    int pidFd = -1;
    Clock::time_point started;
    fs::path outputFile;
    bool group = false;
    bool reaped = false;
};

// Runs argv to its end (at most limit) and returns its usage; throws when it fails.
Usage run(const std::vector<std::string>& argv, const fs::path& outputFile, std::chrono::milliseconds limit);

// The full path of program on PATH, or empty.
fs::path findProgram(const std::string& program);

// nginx serving documentRoot over HTTPS on 127.0.0.1 at a free port, with a
// self-signed certificate, configuration, logs and pid file in dir. Stopped
// by its master's PID when the object goes. /once/ serves the same files but
// closes every connection after its response; /slow/ is rate-limited to
// slowRate bytes per second; /slow-chunked/ serves the same files at the same
// rate without a length (chunked). A second port speaks HTTP/2 (h2Url).
// Each request's connection is logged, so connectionsSince can count them.
// A third port speaks plain HTTP (plainUrl), for many slow transfers at once:
// there /many-slow/ is rate-limited to manySlowRate bytes per second, and
// the server closes each connection after its response. nginx can hold
// maxConnections connections at a time.
class Nginx
{
public:
    static constexpr int maxConnections = 16384;

    Nginx(const fs::path& dir, const fs::path& documentRoot, long slowRate, long manySlowRate);
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    std::string url(const std::string& path) const;
    std::string h2Url(const std::string& path) const;
    std::string plainUrl(const std::string& path) const;
    std::string version() const { return nginxVersion; }
    // Where the log of connections ends now, and how many connections the
    // requests logged after mark came on.
    std::uintmax_t logMark() const;
    std::size_t connectionsSince(std::uintmax_t mark) const;

private:
    bool start(const fs::path& dir, const fs::path& documentRoot, long slowRate, long manySlowRate);

    fs::path program;
    unsigned short port = 0;
    unsigned short h2Port = 0;
    unsigned short plainPort = 0;
    fs::path connectionLog;
    std::string nginxVersion;
    std::unique_ptr<Child> master;
};

} // namespace bench
