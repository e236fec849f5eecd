// Windows stand-in for the external signature checker, for runs under Wine.
// It judges like the shell script CheckSign.exe beside this file: the
// Authenticode signature of FILE, checked by osslsigncode against the trust
// anchor CheckSign.ca.pem beside this program. osslsigncode runs as a Linux
// program through Wine (see UnixProcess.h). Prints one verdict line; the
// exit code is the verdict: 0 valid, 1 not valid (for any reason, a checker
// that could not run included), 2 usage error.
#include "UnixProcess.h"

#include <windows.h>

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

std::wstring wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &result[0], length);
    result.resize(result.size() - 1);
    return result;
}

std::wstring trustAnchor()
{
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"CheckSign.ca.pem";
}

bool isFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// osslsigncode's verdict on file against anchor, both Windows paths.
bool verify(const std::wstring& anchor, const std::wstring& file)
{
    const std::string unixAnchor = UnixProcess::unixPath(anchor);
    const std::string unixFile = UnixProcess::unixPath(file);
    if (unixAnchor.empty() || unixFile.empty()) {
        std::cerr << "CheckSign: runs only under Wine, which maps the paths for osslsigncode" << std::endl;
        return false;
    }
    try {
        // -ignore-crl: judge from the anchor alone, never reach for the network.
        UnixProcess osslsigncode({"sh", "-c",
                                  "exec osslsigncode verify -CAfile \"$1\" -ignore-crl -in \"$2\" "
                                  "</dev/null >/dev/null 2>&1",
                                  "sh", unixAnchor, unixFile});
        std::string output;
        return osslsigncode.wait(output, std::chrono::seconds(60)) == 0;
    } catch (const std::runtime_error& error) {
        std::cerr << "CheckSign: " << error.what() << std::endl;
        return false;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: CheckSign.exe FILE" << std::endl;
        return 2;
    }
    const std::string file = argv[1];
    const std::wstring anchor = trustAnchor();

    bool valid = false;
    if (!isFile(anchor))
        std::wcerr << L"CheckSign: no trust anchor at " << anchor << std::endl;
    else if (isFile(wide(file)))
        valid = verify(anchor, wide(file));

    std::cout << "CheckSign: " << file << ": signature " << (valid ? "valid" : "not valid") << std::endl;
    return valid ? 0 : 1;
}
