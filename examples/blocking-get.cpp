// blocking-get: fetches one URL with a blocking GET and prints the HTTP
// status and the body. With --ca-file, the server's certificate must lead to
// one in FILE and name the URL's host.
//
//     blocking-get https://127.0.0.1:8443/hello.txt
//     blocking-get --ca-file server.pem https://127.0.0.1:8443/hello.txt
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
    const bool verified = argc == 4 && std::string(argv[1]) == "--ca-file";
    if (argc != 2 && !verified) {
        std::cerr << "usage: blocking-get [--ca-file FILE] URL" << std::endl;
        return 2;
    }
    const char* const url = argv[argc - 1];

    // The process-wide manager: its worker starts with the first request.
    const auto manager = tandrel::NetworkManager::instance();
    const auto request = tandrel::NetworkRequest::create(manager);
    if (verified) {
        // Unless asked, certificates are not checked.
        tandrel::NetworkSecurity security;
        security.verifyPeer = true;
        security.caFile = argv[2];
        request->setSecurity(security);
    }
    std::error_code ec;
    // Waits for the transfer's end. A URL that libcurl refuses comes back in
    // ec as well (curlu_category), with no reply.
    const auto reply = request->get(ec, tandrel::Url(url));
    // The worker thread must end before the process does.
    manager->stop();

    if (ec) {
        std::cerr << "GET " << url << " failed: " << describe(ec) << std::endl;
        return 1;
    }
    // A completed transfer: 404 or 500 land here too, with their bodies.
    std::cout << "status " << reply->statusCode() << "\n" << reply->body();
    return 0;
}
