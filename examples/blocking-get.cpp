// blocking-get: fetches one URL with a blocking GET and prints the HTTP
// status and the body.
//
//     blocking-get https://127.0.0.1:8443/hello.txt
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <iostream>
#include <string>
#include <system_error>

namespace {

// "category@value --->>> message": which library said it, its code, its text.
std::string describe(const std::error_code& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::cerr << "usage: blocking-get URL" << std::endl;
        return 2;
    }

    // The process-wide manager: its worker starts with the first request.
    const auto manager = tandrel::NetworkManager::instance();
    const auto request = tandrel::NetworkRequest::create(manager);
    std::error_code ec;
    // Waits for the transfer's end. A URL that libcurl refuses comes back in
    // ec as well (curlu_category), with no reply.
    const auto reply = request->get(ec, tandrel::Url(argv[1]));
    // The worker thread must end before the process does.
    manager->stop();

    if (ec) {
        std::cerr << "GET " << argv[1] << " failed: " << describe(ec) << std::endl;
        return 1;
    }
    // A completed transfer: 404 or 500 land here too, with their bodies.
    std::cout << "status " << reply->statusCode() << "\n" << reply->body();
    return 0;
}
