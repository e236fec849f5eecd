// signature-check: downloads the VPN client installer from the gateway the
// logged-in VPN client is connected to, and has CheckSign.exe judge its
// signature. Exit codes: 0 done, -6 not logged in, -7 no gateway address,
// -5 no checker, -1 no working directory, -3 no result file, -4 download
// failed, 1 unexpected error.
#include "CheckerRun.h"
#include "Defer.h"
#include "GatewayLookup.h"
#include "Progress.h"
#include "ResultFile.h"
#include "WorkingDirectory.h"
#include "platform/Files.h"
#include "platform/Platform.h"

#include "network/NetworkManager.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <boost/exception/diagnostic_information.hpp>
#include <boost/filesystem.hpp>

#include <chrono>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const char* const loginMutexName = "Global\\SSLUSR_LOGIN";

// "category@value --->>> message", for std:: and boost:: error codes alike.
template <class ErrorCode>
std::string describe(const ErrorCode& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

// How long a run waits for another one working in its directory: as long
// as a transfer may stall by default.
constexpr std::chrono::seconds runLockWait{30};

// Downloads url into fileName in directory, a new file this run made; the
// file stays open in downloaded, for reading only. What went wrong,
// described; empty when the download succeeded.
std::string download(const tandrel::Url& url, const platform::HostDirectory& directory, const fs::path& fileName,
                     platform::RunFile& downloaded)
{
    boost::system::error_code ec;
    downloaded = directory.createFile(fileName.string(), ec);
    if (ec)
        return describe(ec);
    const auto request = tandrel::NetworkRequest::create(nullptr);
    std::error_code result;
    request->download(result, printProgress, url, downloaded.stream());
    downloaded.endWriting();
    return result ? describe(result) : std::string();
}

// Performed by the exit guard on every way out of the run.
void exitAction()
{
    platform::uninitializeCom();
    tandrel::NetworkManager::instance()->stop();
    platform::pause();
}

int run();

} // namespace

int main()
{
    platform::keepStandardStreamsOpen();
    platform::matchConsoleCodePage();
    try {
        platform::initializeCom();

        // The exit action runs when this scope ends: after an error exit's
        // message, and before an exception handler's text. If the action
        // throws, the guard names itself as main@63 in its message.
        Defer exitGuard(__FILE__, "main", 63, exitAction);
        return run();
    } catch (const std::error_code& ec) {
        std::cerr << describe(ec) << std::endl;
        return 1;
    } catch (...) {
        std::cerr << boost::current_exception_diagnostic_information(true) << std::endl;
        return 1;
    }
}

namespace {

int run()
{
    char modulePath[261] = {};
    // A cut path would name an ancestor directory, and the run would go on there.
    if (const std::error_code ec = platform::moduleFileName(modulePath, sizeof modulePath))
        throw std::error_code(ec);
    fs::current_path(fs::path(modulePath).parent_path());

    if (!platform::canOpenMutex(loginMutexName)) {
        std::cerr << "Please login first" << std::endl;
        return -6;
    }

    std::string serverUrl;
    if (!getServerUrl(serverUrl)) {
        std::cerr << "cann't get the vpn address" << std::endl;
        return -7;
    }

    tandrel::Url url(serverUrl);
    const fs::path workingDirectory = url.host();

    if (!fs::exists(checkerProgram)) {
        std::cerr << "External programs '" << checkerProgram << "' do not exist" << std::endl;
        return -5;
    }

    platform::HostDirectory hostDirectory;
    if (const boost::system::error_code ec = createWorkingDirectory(workingDirectory, hostDirectory)) {
        std::cerr << "cann't create directory '" << url.host() << "', " << describe(ec) << std::endl;
        return -1;
    }

    const std::vector<std::string> serverPaths = {"/com/win/TandrelUD.exe"};

    // Runs side by side would write into one installer and one result file:
    // each holds the result file under its lock while it works.
    const fs::path resultPath = workingDirectory / "result.txt";
    ResultFile resultFile(hostDirectory.lockFile(resultPath.filename().string(), runLockWait));
    if (!resultFile.isOpen()) {
        std::cerr << "cann't open " << resultPath.string() << std::endl;
        return -3;
    }

    for (const std::string& serverPath : serverPaths) {
        url.setPath(serverPath);
        const fs::path fileName = fs::path(serverPath).filename();
        const fs::path localTarget = workingDirectory / fileName;
        std::cout << "Download " << fileName << std::endl;

        platform::RunFile downloaded;
        const std::string failure = download(url, hostDirectory, fileName, downloaded);
        std::cout << std::endl;
        if (!failure.empty()) {
            std::cerr << "download '" << fileName << "' failure" << failure << std::endl;
            return -4;
        }
        checkDownloadedFile(localTarget, fileName, downloaded, resultFile);
    }

    std::cout << "Operator Finished" << std::endl;
    echoResultFile(resultFile, resultPath);
    return 0;
}

} // namespace
