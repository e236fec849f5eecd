// Stand-in for the VPN client's in-process component. GetVPNAddress answers
// what gateway.conf beside the library says:
//   address=<text>   the gateway address (required)
//   port=<number>    the gateway port, 0 or absent for none
//   result=<number>  the function's result, 1 when absent
//   unterminated=1   fill the whole buffer the caller announced with the
//                    address, repeated, and no terminating zero
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#define COMPONENT_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::string libraryDirectory()
{
    static const int anchor = 0;
    std::string file;
#ifdef _WIN32
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&anchor), &module);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, sizeof path);
    file = path;
#else
    Dl_info info{};
    if (dladdr(&anchor, &info) && info.dli_fname)
        file = info.dli_fname;
#endif
    const auto slash = file.find_last_of("/\\");
    return slash == std::string::npos ? "." : file.substr(0, slash);
}

} // namespace

COMPONENT_EXPORT std::int32_t GetVPNAddress(char* address, std::int32_t size, std::uint16_t* port)
{
    std::ifstream config(libraryDirectory() + "/gateway.conf");
    std::string line, host;
    long number = 0, result = 1;
    bool unterminated = false;
    while (std::getline(config, line)) {
        const auto equals = line.find('=');
        const std::string key = line.substr(0, equals),
                          value = equals == std::string::npos ? "" : line.substr(equals + 1);
        if (key == "address")
            host = value;
        else if (key == "port")
            number = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "result")
            result = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "unterminated")
            unterminated = value == "1";
    }
    if (host.empty() || size <= 0)
        return 0;
    if (unterminated) {
        for (std::int32_t i = 0; i < size; ++i)
            address[i] = host[static_cast<std::size_t>(i) % host.size()];
    } else {
        const std::size_t length = std::min<std::size_t>(host.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(address, host.data(), length);
        address[length] = '\0';
    }
    *port = static_cast<std::uint16_t>(number);
    return static_cast<std::int32_t>(result);
}
