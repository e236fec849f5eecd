// Returns from main with managers still running, as a careless program
// might: process exit has to stop them before libcurl and the TLS library
// clean up. The engine tests run it, also under the sanitizers.
//
// Usage: left-running released|instance|idle BASE-URL
//   released  three managers with transfers in flight, every reference dropped
//   instance  the process-wide manager with transfers in flight, never stopped
//   idle      the process-wide manager after a completed get (its connection
//             kept open), never stopped
#include "network/NetworkManager.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

using tandrel::NetworkManager;
using tandrel::NetworkRequest;
using tandrel::Url;

namespace {

void startTransfers(const std::shared_ptr<NetworkRequest>& request, const std::string& base)
{
    for (int i = 0; i < 2; ++i)
        request->get(nullptr, Url(base + "/big?size=100000000"));
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "released" && mode != "instance" && mode != "idle") {
        std::cerr << "usage: left-running released|instance|idle BASE-URL" << std::endl;
        return 2;
    }
    const std::string base = argv[2];
    if (mode == "released") {
        for (int i = 0; i < 3; ++i)
            startTransfers(NetworkRequest::create(NetworkManager::create()), base);
    } else if (mode == "instance") {
        startTransfers(NetworkRequest::create(nullptr), base);
    } else {
        std::error_code ec;
        NetworkRequest::create(nullptr)->get(ec, Url(base + "/empty"));
        return ec ? 1 : 0;
    }
    // Handshakes done and data flowing when main returns.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return 0;
}
