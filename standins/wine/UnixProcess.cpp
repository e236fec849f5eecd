#include "UnixProcess.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// Wine hands the sockets over non-blocking, which ordinary programs take
// for errors; perl (always there on Debian) makes them blocking first. Then
// it starts "$@" with the shell's standard input (the explicit redirection
// keeps a background job from getting /dev/null instead), reports the pid
// first (the inner shell execs the program, so it keeps that pid) and, once
// the program has ended, its status after a record separator, which never
// occurs in the programs' own output.
const char* const launcher =
    "perl -MFcntl -e 'for (0, 1) { open(my $h, \"<&=$_\") or next; fcntl($h, F_SETFL, fcntl($h, F_GETFL, 0) & ~O_NONBLOCK) }'; "
    "exec 3<&0; sh -c 'echo \"$$\"; exec \"$@\"' sh \"$@\" <&3 3<&- & exec 3<&-; "
    "wait \"$!\"; printf '\\036%d\\n' \"$?\"";
const char recordSeparator = '\036';

// An argument in the form the command-line parser of Windows (and of Wine,
// for Unix processes) splits back into the same text.
std::wstring quoted(const std::wstring& argument)
{
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, L'\\');
    return text + L"\"";
}

std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}

template <class Function>
Function wineExport(const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), name)));
}

// The Windows path under which Wine shows a Unix path; empty outside Wine.
std::wstring dosPath(const std::string& unixPath)
{
    const auto convert = wineExport<WCHAR* (*)(const char*)>("wine_get_dos_file_name");
    WCHAR* path = convert ? convert(unixPath.c_str()) : nullptr;
    if (path == nullptr)
        return {};
    std::wstring result = path;
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

// A connected pair of loopback TCP sockets that no child inherits.
void socketPair(SOCKET& ours, SOCKET& theirs)
{
    SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ours = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    const bool connected = listener != INVALID_SOCKET && ours != INVALID_SOCKET
                           && bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                           && listen(listener, 1) == 0
                           && getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0
                           && connect(ours, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    theirs = connected ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
    closesocket(listener);
    if (theirs == INVALID_SOCKET) {
        closesocket(ours);
        throw std::runtime_error("UnixProcess: no loopback socket pair");
    }
}

} // namespace

UnixProcess::UnixProcess(const std::vector<std::string>& argv)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("UnixProcess: no Winsock");
    const std::wstring shell = dosPath("/bin/sh");
    if (shell.empty()) {
        WSACleanup();
        throw std::runtime_error("UnixProcess: Linux programs can be started only under Wine");
    }

    std::wstring commandLine = L"sh -c " + quoted(wide(launcher)) + L" sh";
    for (const auto& argument : argv)
        commandLine += L" " + quoted(wide(argument));

    SOCKET childInput, childOutput, ourInput, ourOutput;
    socketPair(ourInput, childInput);
    socketPair(ourOutput, childOutput);
    input = ourInput;
    output = ourOutput;
    // Inheritable only for this one start; the child gets Unix descriptors of them.
    SetHandleInformation(reinterpret_cast<HANDLE>(childInput), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(reinterpret_cast<HANDLE>(childOutput), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = reinterpret_cast<HANDLE>(childInput);
    startup.hStdOutput = reinterpret_cast<HANDLE>(childOutput);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(shell.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    closesocket(childInput);
    closesocket(childOutput);
    // Wine hands back no handles for a Unix process; close any that came.
    if (process.hProcess)
        CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    if (!started || !readLine(pid, std::chrono::seconds(30)) || pid.empty()) {
        closeInput();
        closesocket(ourOutput);
        WSACleanup();
        throw std::runtime_error("UnixProcess: could not start " + (argv.empty() ? std::string() : argv[0]));
    }
}

UnixProcess::~UnixProcess()
{
    closeInput();
    std::string rest;
    if (!finished)
        wait(rest, std::chrono::seconds(5));
    closesocket(static_cast<SOCKET>(output));
    WSACleanup();
}

bool UnixProcess::receive(Clock::time_point deadline)
{
    if (finished)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(output), &readable);
    timeval timeout{static_cast<long>(left.count() / 1000000), static_cast<long>(left.count() % 1000000)};
    if (select(0, &readable, nullptr, nullptr, &timeout) <= 0)
        return false;
    char piece[4096];
    const int got = recv(static_cast<SOCKET>(output), piece, sizeof piece, 0);
    if (got <= 0) {
        finished = true;
        takeExitReport();
        return false;
    }
    buffer.append(piece, static_cast<std::size_t>(got));
    return true;
}

void UnixProcess::takeExitReport()
{
    const auto at = buffer.find(recordSeparator);
    if (at == std::string::npos)
        return;
    status = std::atoi(buffer.c_str() + at + 1);
    buffer.erase(at);
}

bool UnixProcess::readLine(std::string& line, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto end = buffer.find('\n');
        // Output before the exit report is the program's, even the part
        // that a line end does not close.
        if (end != std::string::npos && buffer.find(recordSeparator) > end) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return true;
        }
        if (finished) {
            line = buffer;
            buffer.clear();
            return !line.empty();
        }
        if (!receive(deadline) && !finished)
            return false;
    }
}

int UnixProcess::wait(std::string& rest, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!finished && receive(deadline)) {
    }
    if (!finished) {
        kill();
        const auto afterKill = Clock::now() + std::chrono::seconds(5);
        while (!finished && receive(afterKill)) {
        }
        status = -1;
    }
    rest = buffer;
    buffer.clear();
    return status;
}

void UnixProcess::closeInput()
{
    if (input == ~0ull)
        return;
    shutdown(static_cast<SOCKET>(input), SD_SEND);
    closesocket(static_cast<SOCKET>(input));
    input = ~0ull;
}

void UnixProcess::kill()
{
    if (finished || pid.empty() || !mayKill)
        return;
    try {
        UnixProcess killer({"kill", "-KILL", pid});
        killer.mayKill = false; // a killer that hangs is left, not killed in turn
        std::string ignored;
        killer.wait(ignored, std::chrono::seconds(5));
    } catch (const std::runtime_error&) {
    }
}

std::string UnixProcess::unixPath(const std::wstring& windowsPath)
{
    const auto convert = wineExport<char* (*)(const WCHAR*)>("wine_get_unix_file_name");
    char* path = convert ? convert(windowsPath.c_str()) : nullptr;
    if (path == nullptr)
        return {};
    std::string result = path;
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}
