// Touches each layer of the client: a URL value (libcurl's URL interface),
// both error categories, and a manager whose worker runs a GET from the
// test's local server (the URL on the command line) and stops.
#include "network/CurlCategory.h"
#include "network/CurluCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"
#include "network/Version.h"

#include <iostream>

namespace {

void print(const std::error_code& ec)
{
    std::cout << ec.category().name() << "@" << ec.value() << " --->>> " << ec.message() << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: consumer URL\n";
        return 2;
    }
    tandrel::Url url("https://127.0.0.1:8443");
    url.setPath("/com/win/TandrelUD.exe");
    std::cout << url.toString() << "\n";

    print(std::error_code(28, tandrel::curl_category()));
    print(std::error_code(3, tandrel::curlu_category()));

    auto manager = tandrel::NetworkManager::create();
    auto request = tandrel::NetworkRequest::create(manager);
    std::error_code ec;
    const auto reply = request->get(ec, tandrel::Url(argv[1]));
    if (ec)
        print(ec);
    else
        std::cout << "GET " << reply->statusCode() << " " << reply->body() << "\n";
    manager->stop();
    std::cout << "stopped\n";
    std::cout << "tandrel " << TANDREL_VERSION_STRING << " (" << TANDREL_VERSION_MAJOR << "." << TANDREL_VERSION_MINOR
              << "." << TANDREL_VERSION_PATCH << ")\n";
    return 0;
}
