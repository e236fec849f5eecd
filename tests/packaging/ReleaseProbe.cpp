// Looks at a Windows program the way Windows does, for the release archive's
// test:
//   release-probe version FILE   prints its version strings and its manifest
//   release-probe run FILE       runs it with this program's standard handles
//                                and prints its 32-bit exit code in hex
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int fail(const char* what, const char* file)
{
    std::fprintf(stderr, "release-probe: %s %s (error %lu)\n", what, file, GetLastError());
    return 2;
}

int version(const char* file)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    std::vector<char> data(size);
    if (!size || !GetFileVersionInfoA(file, 0, size, data.data()))
        return fail("no version information in", file);

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        std::printf("Fixed: %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                    fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    }
    for (const char* name : {"ProductName", "ProductVersion", "FileVersion", "FileDescription", "CompanyName",
                             "OriginalFilename", "LegalCopyright"}) {
        const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueA(data.data(), path.c_str(), &value, &length) && length)
            std::printf("%s: %s\n", name, static_cast<const char*>(value));
    }

    const HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    const HRSRC resource = module ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    const HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    if (!loaded)
        return fail("no manifest in", file);
    std::printf("Manifest:\n%.*s\n", static_cast<int>(SizeofResource(module, resource)),
                static_cast<const char*>(LockResource(loaded)));
    FreeLibrary(module);
    return 0;
}

int run(char* file)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(file, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return fail("cannot start", file);
    // The test's own limit is longer; a hung program is ended here first.
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 3);
        return fail("ended after 120 s:", file);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::fflush(stdout);
    std::printf("exit 0x%08lX\n", code);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode == "version")
        return version(argv[2]);
    if (mode == "run")
        return run(argv[2]);
    std::fprintf(stderr, "usage: release-probe version|run FILE\n");
    return 2;
}
