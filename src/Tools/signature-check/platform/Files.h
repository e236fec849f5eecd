#pragma once

#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// The run's files in the working directory, opened once and then used only
// through their handles: whatever others do to the names meanwhile (swap in
// a link, replace the directory), the run writes and reads its own files.
// FilesLinux.cpp makes them relative to the directory's descriptor (openat);
// FilesWindows.cpp holds the directory open so that it can be neither
// renamed nor removed, and names its files below it.
namespace platform {

// An open file of the run, closed when the object goes.
class RunFile
{
public:
    RunFile() = default;
    RunFile(std::FILE* stream, std::intptr_t handle);
    ~RunFile();
    RunFile(RunFile&& other) noexcept;
    RunFile& operator=(RunFile&& other) noexcept;
    RunFile(const RunFile&) = delete;
    RunFile& operator=(const RunFile&) = delete;

    explicit operator bool() const { return file != nullptr || handle != noHandle; }
    // The C stream over the file while it is written; null after endWriting.
    std::FILE* stream() const { return file; }
    // Closes the stream and keeps the file open for reading only: others
    // (the checker) can read it, and on Windows nobody can rename or remove
    // it while it is held.
    void endWriting();
    // Whether path, resolved as opening it would (links followed), names
    // this very file.
    bool isNamedBy(const std::string& path) const;
    void close();

    static constexpr std::intptr_t noHandle = -1;

private:
    std::FILE* file = nullptr;
    // The file held after endWriting (Windows: a read-only handle).
    std::intptr_t handle = noHandle;
};

// The working directory, held open while the run works in it.
class HostDirectory
{
public:
    HostDirectory() = default;
    ~HostDirectory();
    HostDirectory(const HostDirectory&) = delete;
    HostDirectory& operator=(const HostDirectory&) = delete;

    // Opens the directory name, one level below the current directory. An
    // entry there that is no real directory (a file, a symbolic link, a
    // junction) gives the system's already-exists error.
    boost::system::error_code open(const std::string& name);

    // A new, empty file made by this call in place of whatever entry had
    // the name (a file, a link, a FIFO: removed; a directory stays, and
    // fails), open for writing in binary mode. No other run writes it.
    RunFile createFile(const std::string& name, boost::system::error_code& ec) const;

    // The file name, opened for reading and writing in text mode, created if
    // missing, under an exclusive lock, then emptied. Only a process that
    // can write the file can hold the lock: a lock that a mere reader took
    // (Linux), an entry that is no regular file or has other names too, or
    // one replaced while this call waited, gets a new file in its place.
    // Waits at most wait for another holder, then throws std::error_code
    // (system category: the lock conflict's error). Empty when the file
    // can't be opened or replaced.
    RunFile lockFile(const std::string& name, std::chrono::milliseconds wait) const;

private:
    std::intptr_t handle = RunFile::noHandle;
    std::string path;
};

} // namespace platform
