#pragma once

#include "platform/Platform.h"

#include <string>

// The VPN gateway's address, asked of the VPN client's in-process component:
// its COM registration names the library, whose export GetVPNAddress answers.

// The size of the CLSID text and library path buffers.
constexpr std::size_t pathBufferSize = 260;
using PathBuffer = char[pathBufferSize];

// Fills serverUrl with "https://" + address (+ ":" + port) + "/". Returns
// false after writing one message to std::cerr. Throws std::error_code when
// the URL library rejects the address as a host.
bool getServerUrl(std::string& serverUrl);

// Finds the library registered for progId (its InprocServer32 path).
bool getComponentPath(const std::wstring& progId, std::string& path);

// Reads HKEY_CLASSES_ROOT\CLSID\<clsidText>\InprocServer32 into path;
// clsidText must be the 38-character braced form.
bool readInprocServerPath(const char* clsidText, PathBuffer& path);

// Writes clsid as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
void formatClsid(const platform::Clsid& clsid, PathBuffer& text);
