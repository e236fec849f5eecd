// form-post: posts name=value fields to a URL as a form and prints the HTTP
// status and the answer's body.
//
//     form-post https://127.0.0.1:8443/echo name=ada "greeting=hello there"
#include "network/FormFields.h"
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <iostream>
#include <string>
#include <system_error>

namespace {

const char usage[] = "usage: form-post URL NAME=VALUE...";

std::string describe(const std::error_code& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::cerr << usage << std::endl;
        return 2;
    }
    tandrel::FormFields form;
    for (int i = 2; i < argc; ++i) {
        const std::string field = argv[i];
        const auto equals = field.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "not a name=value field: '" << field << "'\n" << usage << std::endl;
            return 2;
        }
        // Sent exactly as given: the client escapes nothing, so a value with
        // '&', '=', '+' or '%' has to be percent-encoded by the caller.
        form.fields.emplace_back(field.substr(0, equals), field.substr(equals + 1));
    }

    const auto manager = tandrel::NetworkManager::instance();
    const auto request = tandrel::NetworkRequest::create(manager);
    // The request's default Content-Type, application/x-www-form-urlencoded,
    // is the one a form needs.
    std::error_code ec;
    const auto reply = request->post(ec, tandrel::Url(argv[1]), form);
    manager->stop();

    if (ec) {
        std::cerr << "POST " << argv[1] << " failed: " << describe(ec) << std::endl;
        return 1;
    }
    std::cout << "status " << reply->statusCode() << "\n" << reply->body();
    return 0;
}
