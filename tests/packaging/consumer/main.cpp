// Touches each layer of the client: a URL value (libcurl's URL interface),
// both error categories, and a manager whose worker starts and stops.
#include "network/CurlCategory.h"
#include "network/CurluCategory.h"
#include "network/NetworkManager.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"
#include "network/Version.h"

#include <iostream>

int main()
{
    tandrel::Url url("https://127.0.0.1:8443");
    url.setPath("/com/win/TandrelUD.exe");
    std::cout << url.toString() << "\n";

    for (const std::error_code& ec :
         {std::error_code(28, tandrel::curl_category()), std::error_code(3, tandrel::curlu_category())})
        std::cout << ec.category().name() << "@" << ec.value() << " --->>> " << ec.message() << "\n";

    auto manager = tandrel::NetworkManager::create();
    auto request = tandrel::NetworkRequest::create(manager);
    manager->stop();
    std::cout << (request ? "stopped\n" : "no request\n");
    std::cout << "tandrel " << TANDREL_VERSION_STRING << " (" << TANDREL_VERSION_MAJOR << "." << TANDREL_VERSION_MINOR
              << "." << TANDREL_VERSION_PATCH << ")\n";
    return 0;
}
