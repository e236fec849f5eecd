#pragma once

#include <chrono>
#include <string>
#include <vector>

// A Linux program started from a Windows program that runs under Wine.
//
// Wine starts a program that is not a Windows executable as a plain Unix
// process, but hands back no process handle for it: it can't be waited for
// and its exit code can't be read. So the program runs under /bin/sh, with
// its standard input and output on loopback sockets (unlike Wine's pipes,
// those reach a Unix process as they are): the shell first reports the
// program's Unix process id, and after the program ends its exit status,
// and closing the shell's end of the output socket marks the end. Standard
// error is this process's own.
class UnixProcess
{
public:
    // Starts argv (argv[0] is looked up on the Unix PATH) in the current
    // directory. Throws std::runtime_error when it can't be started.
    explicit UnixProcess(const std::vector<std::string>& argv);
    // Ends it: closes its input, waits a few seconds, then kills it.
    ~UnixProcess();
    UnixProcess(const UnixProcess&) = delete;
    UnixProcess& operator=(const UnixProcess&) = delete;

    // The next line of its output, without the line end. False at the end
    // of the output, or when nothing came within limit.
    bool readLine(std::string& line, std::chrono::milliseconds limit);
    // Reads the rest of its output into output and returns its exit status
    // once it has ended; -1 when it did not end within limit (it is then
    // killed) or ended without reporting one.
    int wait(std::string& output, std::chrono::milliseconds limit);
    // Its standard input reaches its end.
    void closeInput();
    // SIGKILL to the program, if it still runs.
    void kill();
    // Whether its output has ended (it ended, or at least closed it).
    bool ended() const { return finished; }

    // The Unix path of a Windows path, as Wine maps it; empty outside Wine.
    static std::string unixPath(const std::wstring& windowsPath);

private:
    // Receives into buffer; false at the end of the output or at deadline.
    bool receive(std::chrono::steady_clock::time_point deadline);
    // Takes the shell's closing report off the end of the buffer, once the output has ended.
    void takeExitReport();

    unsigned long long input = ~0ull; // our ends of the sockets (SOCKET values)
    unsigned long long output = ~0ull;
    std::string buffer;
    std::string pid;
    int status = -1;
    bool finished = false;
    bool mayKill = true;
};
