#pragma once

#include <cstdint>
#include <string>
#include <system_error>

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

// Opens /dev/null on each of the standard descriptors 0-2 that is closed:
// the next file opened would take the lowest free number and receive what
// is meant for the console. Nothing to do on Windows, whose C runtime never
// hands out those numbers again.
void keepStandardStreamsOpen();

// Windows: when standard output or error is a console whose output code
// page is not the process's ANSI code page (UTF-8 where the manifest's
// activeCodePage holds, else the system's), sets the console to that code
// page, so that text shows as the program writes it, and sets it back at
// exit. Redirected streams and files get the same bytes either way. Nothing
// to do on Linux, whose terminals take the bytes as they come.
void matchConsoleCodePage();

// GetModuleFileNameA for the program's own file into buffer (at most size
// bytes, terminator included). A path that does not fit comes back cut:
// then ERROR_INSUFFICIENT_BUFFER (Linux: ENAMETOOLONG); a failed call gives
// its own error; both in std::system_category().
std::error_code moduleFileName(char* buffer, std::uint32_t size);

// The system error value (Win32 error code; errno value on Linux) for a name
// the file system can't take: ERROR_INVALID_NAME; EINVAL.
int invalidNameError();

// Whether name, one path component, is one the file system keeps from
// naming a directory of its own: on Windows device names (con, prn, aux,
// nul, com1-com9, lpt1-lpt9, in any case, also with an extension) and names
// ending in a dot or a blank, which it stores without them. None on Linux.
bool isReservedName(const std::string& name);

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

// The path to load the component library registered as path from; empty
// when another user could have put something else there. Windows: path
// itself, as access control guards the registry and the library. Linux:
// path without symbolic links when the file and each directory above it
// are the effective user's or root's and no one else may write them (but
// for a sticky directory of root's, like /tmp). Load what it returns, so
// that a link changed after the check can't lead elsewhere.
std::string trustedLibraryPath(const std::string& path);

// Starts commandLine (a program name, then blank-separated arguments, no
// quoting) as CreateProcessA does without an application name, so the
// program is looked for in this program's directory first; waits for it
// without a time limit. Returns its exit code, or -1 when no process was
// obtained. Throws boost::process::process_error when it can't be started.
int runCommandLine(const std::string& commandLine);

// The console's "pause": prompt, then wait for one key.
void pause();

} // namespace platform
