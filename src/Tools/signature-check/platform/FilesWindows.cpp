// The run's files on Windows. The working directory is held open without
// delete sharing, so that it can be neither renamed nor removed while the
// run works in it, and its files are named below it and opened without
// following reparse points. The installer is held without delete sharing
// (and without write sharing while it is written); the result file is
// locked with LockFileEx.
#include "platform/Files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <system_error>
#include <thread>
#include <utility>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Attempts at a lock file's entry before giving up: each one after the
// first means that the entry was unfit and removed.
constexpr int lockAttempts = 20;
constexpr std::chrono::milliseconds lockPoll{50};

boost::system::error_code lastError()
{
    return {static_cast<int>(GetLastError()), boost::system::system_category()};
}

HANDLE native(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t held(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? RunFile::noHandle : reinterpret_cast<std::intptr_t>(handle);
}

bool information(HANDLE file, BY_HANDLE_FILE_INFORMATION& info)
{
    return GetFileInformationByHandle(file, &info) != 0;
}

// A C stream over handle, which then owns it; null (handle closed) when
// none can be made.
std::FILE* streamOver(HANDLE handle, int flags, const char* mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr)
        _close(fd);
    return stream;
}

// Takes an exclusive lock on the whole file, waiting while another holds
// one; throws the conflict's error once deadline has passed.
void waitForLock(HANDLE file, Clock::time_point deadline)
{
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
            return;
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION || Clock::now() >= deadline)
            throw std::error_code(static_cast<int>(error), std::system_category());
        std::this_thread::sleep_for(lockPoll);
    }
}

enum class Attempt { locked, again, failed };

// One attempt at opening and locking path; locked receives its handle.
Attempt lockEntry(const std::string& path, Clock::time_point deadline, HANDLE& locked)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Attempt::failed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!information(file, info)) {
        CloseHandle(file);
        return Attempt::failed;
    }
    // A link, or a file that has other names, which emptying it would
    // empty too: the entry goes, and a new file takes its place.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1) {
        CloseHandle(file);
        return DeleteFileA(path.c_str()) ? Attempt::again : Attempt::failed;
    }
    try {
        waitForLock(file, deadline);
    } catch (...) {
        CloseHandle(file);
        throw;
    }
    locked = file;
    return Attempt::locked;
}

} // namespace

RunFile::RunFile(std::FILE* stream, std::intptr_t handle)
    : file(stream)
    , handle(handle)
{
}

RunFile::~RunFile()
{
    close();
}

RunFile::RunFile(RunFile&& other) noexcept
    : file(std::exchange(other.file, nullptr))
    , handle(std::exchange(other.handle, noHandle))
{
}

RunFile& RunFile::operator=(RunFile&& other) noexcept
{
    if (this != &other) {
        close();
        file = std::exchange(other.file, nullptr);
        handle = std::exchange(other.handle, noHandle);
    }
    return *this;
}

void RunFile::endWriting()
{
    if (file == nullptr)
        return;
    std::fflush(file);
    // The same file, by its handle (sharing writing with the writer still
    // open): readers that deny writing, as signature checks do, can open it
    // once the writing handle is gone, and this one still keeps others from
    // renaming or removing it.
    const auto writing = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    handle = held(ReOpenFile(writing, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    std::fclose(file);
    file = nullptr;
}

bool RunFile::isNamedBy(const std::string& path) const
{
    const HANDLE own = file != nullptr ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))) : native(handle);
    const HANDLE named = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = information(own, a) && information(named, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber
                      && a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

void RunFile::close()
{
    if (file != nullptr)
        std::fclose(file);
    if (handle != noHandle)
        CloseHandle(native(handle));
    file = nullptr;
    handle = noHandle;
}

HostDirectory::~HostDirectory()
{
    if (handle != RunFile::noHandle)
        CloseHandle(native(handle));
}

boost::system::error_code HostDirectory::open(const std::string& name)
{
    const HANDLE directory = CreateFileA(name.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr);
    if (directory == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!information(directory, info)) {
        const auto ec = lastError();
        CloseHandle(directory);
        return ec;
    }
    // A junction or symbolic link in the directory's place, or a file.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(directory);
        return {ERROR_ALREADY_EXISTS, boost::system::system_category()};
    }
    handle = held(directory);
    path = name;
    return {};
}

RunFile HostDirectory::createFile(const std::string& name, boost::system::error_code& ec) const
{
    const std::string file = path + "\\" + name;
    ec = {};
    // Whatever was there goes (a link itself, not its target): an exclusive
    // creation then makes the file this run's alone.
    if (!DeleteFileA(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        ec = lastError();
        return {};
    }
    const HANDLE created = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        ec = lastError();
        return {};
    }
    std::FILE* stream = streamOver(created, _O_WRONLY | _O_BINARY, "wb");
    if (stream == nullptr)
        ec = {ERROR_INVALID_HANDLE, boost::system::system_category()};
    return {stream, RunFile::noHandle};
}

RunFile HostDirectory::lockFile(const std::string& name, std::chrono::milliseconds wait) const
{
    const std::string file = path + "\\" + name;
    const auto deadline = Clock::now() + wait;
    HANDLE locked = INVALID_HANDLE_VALUE;
    Attempt attempt = Attempt::again;
    for (int i = 0; i < lockAttempts && attempt == Attempt::again; ++i)
        attempt = lockEntry(file, deadline, locked);
    if (attempt != Attempt::locked)
        return {};
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(locked, start, nullptr, FILE_BEGIN) || !SetEndOfFile(locked)) {
        CloseHandle(locked);
        return {};
    }
    return {streamOver(locked, _O_RDWR | _O_TEXT, "r+t"), RunFile::noHandle};
}

} // namespace platform
