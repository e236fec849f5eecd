// Stand-in for the VPN client: installs and registers its component, creates
// the login mutex and holds it until standard input ends or it is killed.
//
//   vpn-client --install DIR --address TEXT [--port N] [--result N]
//              [--component FILE] [--library-path TEXT]
//              [--register full|progid|none] [--no-login] [--unterminated]
//
// --component   the library to install (default: TandrelCore beside this program)
// --library-path  registers this text instead of the installed library's path
// --register    how much of the COM registration to write
// --unterminated  the component fills the caller's whole buffer, no terminator
// It prints "ready" once the session is up.
#include "Session.h"

#include <boost/dll/runtime_symbol_info.hpp>
#include <boost/dll/shared_library.hpp>
#include <boost/filesystem.hpp>

#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace fs = boost::filesystem;

namespace {

const char* const progId = "TandrelCore.TandrelCoreCom.1";
const char* const clsid = "{7D3B5A6E-2C41-4F8A-9B1D-0E6C5F3A8B24}";
const char* const loginMutexName = "Global\\SSLUSR_LOGIN";

int fail(const std::string& message)
{
    std::cerr << "vpn-client: " << message << std::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options = {
        {"--port", "0"},
        {"--result", "1"},
        {"--register", "full"},
        {"--component", (boost::dll::program_location().parent_path() / "TandrelCore").string()
                            + boost::dll::shared_library::suffix().string()},
    };
    bool login = true;
    bool unterminated = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--no-login")
            login = false;
        else if (name == "--unterminated")
            unterminated = true;
        else if (i + 1 < argc)
            options[name] = argv[++i];
        else
            return fail("missing value for " + name);
    }
    if (options["--install"].empty())
        return fail("--install DIR is required");

    const fs::path install = fs::absolute(options["--install"]);
    const fs::path library = install / fs::path(options["--component"]).filename();
    boost::system::error_code ec;
    fs::create_directories(install, ec);
    fs::copy_file(options["--component"], library, fs::copy_options::overwrite_existing, ec);
    // Installed writable by its owner alone, whatever the build tree allows.
    if (!ec)
        fs::permissions(library,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exe | fs::perms::others_read
                            | fs::perms::others_exe,
                        ec);
    if (ec)
        return fail("cannot install " + options["--component"] + ": " + ec.message());
    std::ofstream(install / "gateway.conf") << "address=" << options["--address"] << "\n"
                                            << "port=" << options["--port"] << "\n"
                                            << "result=" << options["--result"] << "\n"
                                            << "unterminated=" << (unterminated ? 1 : 0) << "\n";

    const std::string registered = options.count("--library-path") ? options["--library-path"] : library.string();
    const std::string& mode = options["--register"];
    if (mode != "none" && !writeClassesRootDefault(std::string(progId) + "\\CLSID", clsid))
        return fail("cannot register the ProgID");
    if (mode == "full" && !writeClassesRootDefault(std::string("CLSID\\") + clsid + "\\InprocServer32", registered))
        return fail("cannot register the library");

    if (login && !holdMutex(loginMutexName))
        return fail("cannot create the login mutex");

    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
