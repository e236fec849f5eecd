#include "Session.h"

#include <windows.h>

bool writeClassesRootDefault(const std::string& key, const std::string& value)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr)
        != ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

bool holdMutex(const std::string& name)
{
    // Deliberately never closed: the mutex lives exactly as long as this process.
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    return mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
}
