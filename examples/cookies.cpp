// cookies: two GETs through one manager. The cookies the first answer sets
// are stored, and go out with the second request; the second answer's body
// is printed, so a server that echoes requests shows them arriving.
//
//     cookies "https://127.0.0.1:8443/set-cookie?flavour=oat" https://127.0.0.1:8443/echo
//
// Cookies live in the file "Cookies.txt" in the current directory, shared by
// every request that enables them; this program deletes it at the end.
#include "network/NetworkManager.h"
#include "network/NetworkOptions.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>

namespace {

std::string describe(const std::error_code& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

// The Set-Cookie lines among a reply's header lines, whatever their case.
void printSetCookies(const std::string& headerText)
{
    const std::string wanted = "set-cookie:";
    std::istringstream lines(headerText);
    for (std::string line; std::getline(lines, line);) {
        const auto sameLetter = [](char lower, char c) { return std::tolower(static_cast<unsigned char>(c)) == lower; };
        if (line.size() >= wanted.size() && std::equal(wanted.begin(), wanted.end(), line.begin(), sameLetter))
            std::cout << "received " << line.substr(0, line.find_last_not_of("\r") + 1) << "\n";
    }
}

// Both GETs; 0 when both transfers completed.
int run(const std::shared_ptr<tandrel::NetworkManager>& manager, const char* first, const char* second)
{
    const auto request = tandrel::NetworkRequest::create(manager);
    // Sending is on by default; receiving is not.
    tandrel::NetworkOptions options;
    options.enableSendCookies = true;
    options.enableRecvCookies = true;
    request->setOptions(options);

    std::error_code ec;
    // The received cookies are in the file once the blocking call returns.
    const auto setting = request->get(ec, tandrel::Url(first));
    if (ec) {
        std::cerr << "GET " << first << " failed: " << describe(ec) << std::endl;
        return 1;
    }
    std::cout << "first: status " << setting->statusCode() << "\n";
    printSetCookies(setting->headerText());

    const auto sending = request->get(ec, tandrel::Url(second));
    if (ec) {
        std::cerr << "GET " << second << " failed: " << describe(ec) << std::endl;
        return 1;
    }
    std::cout << "second: status " << sending->statusCode() << "\n" << sending->body();
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::cerr << "usage: cookies URL_THAT_SETS_COOKIES URL_THAT_RECEIVES_THEM" << std::endl;
        return 2;
    }

    const auto manager = tandrel::NetworkManager::create();
    const int code = run(manager, argv[1], argv[2]);
    // Stopped first: a transfer ending later would write the file again.
    manager->stop();

    std::error_code ec;
    if (!tandrel::NetworkManager::clearCookies(&ec) && ec != std::errc::no_such_file_or_directory) {
        std::cerr << "cannot delete " << tandrel::cookieFileName << ": " << describe(ec) << std::endl;
        return 1;
    }
    return code;
}
