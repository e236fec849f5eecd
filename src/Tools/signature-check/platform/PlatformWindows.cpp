#include "platform/Platform.h"

#include <boost/process/system.hpp>

#include <windows.h>
#include <objbase.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

std::error_code lastError()
{
    return {static_cast<int>(GetLastError()), std::system_category()};
}

} // namespace

void initializeCom()
{
    CoInitialize(nullptr);
}

void uninitializeCom()
{
    CoUninitialize();
}

void keepStandardStreamsOpen()
{
}

namespace {

UINT consoleCodePageAtStart = 0;

void restoreConsoleCodePage()
{
    SetConsoleOutputCP(consoleCodePageAtStart);
}

} // namespace

void matchConsoleCodePage()
{
    DWORD mode = 0;
    const bool console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0
                         || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    const UINT current = GetConsoleOutputCP();
    if (!console || current == 0 || current == GetACP() || SetConsoleOutputCP(GetACP()) == 0)
        return;
    consoleCodePageAtStart = current;
    std::atexit(restoreConsoleCodePage);
}

std::error_code moduleFileName(char* buffer, std::uint32_t size)
{
    const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    if (length == 0)
        return lastError();
    // A cut path fills the whole buffer, terminator included.
    if (length >= size)
        return {ERROR_INSUFFICIENT_BUFFER, std::system_category()};
    return {};
}

int invalidNameError()
{
    return ERROR_INVALID_NAME;
}

bool isReservedName(const std::string& name)
{
    // "a." or "a " would be the directory "a".
    if (!name.empty() && (name.back() == '.' || name.back() == ' '))
        return true;
    std::string device = name.substr(0, name.find('.'));
    for (char& c : device)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (device == "con" || device == "prn" || device == "aux" || device == "nul")
        return true;
    const bool numbered = device.size() == 4 && device[3] >= '1' && device[3] <= '9';
    return numbered && (device.compare(0, 3, "com") == 0 || device.compare(0, 3, "lpt") == 0);
}

bool canOpenMutex(const char* name)
{
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

bool clsidFromProgId(const wchar_t* progId, Clsid& clsid)
{
    static_assert(sizeof(CLSID) == sizeof(Clsid), "Clsid must mirror the Win32 CLSID");
    CLSID native{};
    if (CLSIDFromProgID(progId, &native) != S_OK)
        return false;
    std::memcpy(&clsid, &native, sizeof clsid);
    return true;
}

bool readClassesRootDefault(const char* key, unsigned char* buffer, std::uint32_t size)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    DWORD length = size;
    const LONG result = RegQueryValueExA(handle, nullptr, nullptr, nullptr, buffer, &length);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

std::string trustedLibraryPath(const std::string& path)
{
    // The registry's and the file system's access control keep other users out.
    return path;
}

int runCommandLine(const std::string& commandLine)
{
    return boost::process::system(commandLine);
}

void pause()
{
    std::system("pause");
}

} // namespace platform
