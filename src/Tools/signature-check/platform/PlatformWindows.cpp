#include "platform/Platform.h"

#include <boost/process/system.hpp>

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <cstring>

namespace platform {

void initializeCom()
{
    CoInitialize(nullptr);
}

void uninitializeCom()
{
    CoUninitialize();
}

void moduleFileName(char* buffer, std::uint32_t size)
{
    GetModuleFileNameA(nullptr, buffer, size);
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

int runCommandLine(const std::string& commandLine)
{
    return boost::process::system(commandLine);
}

void pause()
{
    std::system("pause");
}

} // namespace platform
