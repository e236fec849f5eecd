#include "GatewayLookup.h"

#include "network/Url.h"

#include <boost/dll/shared_library.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

const wchar_t* const componentProgId = L"TandrelCore.TandrelCoreCom.1";

// The component's export; the caller removes the arguments (C calling form).
using GetVPNAddress = std::int32_t(char* address, std::int32_t size, std::uint16_t* port);

} // namespace

bool getServerUrl(std::string& serverUrl)
{
    std::string libraryPath;
    if (!getComponentPath(componentProgId, libraryPath)) {
        std::cerr << "cann't get the path of component" << std::endl;
        return false;
    }

    // A library another user could have replaced is refused like one that doesn't load.
    const std::string trustedPath = platform::trustedLibraryPath(libraryPath);
    boost::dll::fs::error_code ec;
    boost::dll::shared_library library;
    if (!trustedPath.empty())
        library.load(trustedPath, ec, boost::dll::load_mode::default_mode);
    if (trustedPath.empty() || ec) {
        std::cerr << "cann't load library " << libraryPath << std::endl;
        return false;
    }
    if (!library.has("GetVPNAddress")) {
        std::cerr << "hasn't function GetVPNAddress" << libraryPath << std::endl;
        return false;
    }

    char address[1024] = {};
    std::uint16_t port = 0;
    // One byte short of the buffer, so the text always stays terminated.
    if (library.get<GetVPNAddress>("GetVPNAddress")(address, sizeof address - 1, &port) == 0) {
        std::cerr << "cann't get the server url" << std::endl;
        return false;
    }

    tandrel::Url url;
    url.setScheme("https");
    url.setHost(address);
    if (port != 0)
        url.setPort(std::to_string(port));
    serverUrl = url.toString();
    return true;
}

bool getComponentPath(const std::wstring& progId, std::string& path)
{
    platform::Clsid clsid{};
    if (!platform::clsidFromProgId(progId.c_str(), clsid))
        return false;

    PathBuffer clsidText = {};
    formatClsid(clsid, clsidText);

    PathBuffer libraryPath = {};
    if (!readInprocServerPath(clsidText, libraryPath))
        return false;
    // Copied up to the first zero, but never past the buffer: a value that
    // filled it exactly carries no terminator. An empty path fails later,
    // when it is loaded.
    path.assign(libraryPath, strnlen(libraryPath, sizeof libraryPath));
    return true;
}

bool readInprocServerPath(const char* clsidText, PathBuffer& path)
{
    if (std::strlen(clsidText) != 38)
        return false;
    // "CLSID\" + 38 + "\InprocServer32" and the terminator: exactly 60 bytes.
    char key[60] = {};
    std::snprintf(key, sizeof key, "CLSID\\%s\\InprocServer32", clsidText);
    return platform::readClassesRootDefault(key, reinterpret_cast<unsigned char*>(path), sizeof path);
}

void formatClsid(const platform::Clsid& clsid, PathBuffer& text)
{
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.data1), clsid.data2, clsid.data3, clsid.data4[0], clsid.data4[1],
                  clsid.data4[2], clsid.data4[3], clsid.data4[4], clsid.data4[5], clsid.data4[6], clsid.data4[7]);
}
