#pragma once

#include <cstdint>
#include <string>

// The operating-system services the tool needs, in the shape of the Win32
// calls behind them. PlatformWindows.cpp makes those calls; PlatformLinux.cpp
// stands in for them on Linux (see the comments there for its on-disk store).
namespace platform {

struct Clsid
{
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

// CoInitialize(nullptr) on the calling thread; the result is not checked.
void initializeCom();
// CoUninitialize().
void uninitializeCom();

// GetModuleFileNameA for the program's own file into buffer (at most size
// bytes, terminator included); the result is not checked.
void moduleFileName(char* buffer, std::uint32_t size);

// OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), closing any handle at once.
// True when a handle came back. Never creates the mutex.
bool canOpenMutex(const char* name);

// CLSIDFromProgID: true when it returned S_OK.
bool clsidFromProgId(const wchar_t* progId, Clsid& clsid);

// The default value of HKEY_CLASSES_ROOT\key, read with RegOpenKeyExA
// (KEY_READ), RegQueryValueExA and RegCloseKey into buffer of size bytes.
// False when the key can't be opened, the value is missing, or it does not
// fit into the buffer.
bool readClassesRootDefault(const char* key, unsigned char* buffer, std::uint32_t size);

// Starts commandLine (a program name, then blank-separated arguments, no
// quoting) as CreateProcessA does without an application name, so the
// program is looked for in this program's directory first; waits for it
// without a time limit. Returns its exit code, or -1 when no process was
// obtained. Throws boost::process::process_error when it can't be started.
int runCommandLine(const std::string& commandLine);

// The console's "pause": prompt, then wait for one key.
void pause();

} // namespace platform
