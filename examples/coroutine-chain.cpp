// coroutine-chain: logs in, fetches a page and posts it back, one transfer
// after another in one C++20 coroutine, each awaited where it is written:
//
//     coroutine-chain "https://127.0.0.1:8443/set-cookie?session=1"
//                     https://127.0.0.1:8443/hello.txt https://127.0.0.1:8443/echo
//
// The login's cookies go out with the later requests (kept in the file
// "Cookies.txt" in the current directory, deleted at the end). The
// coroutine runs on the manager's worker thread after its first co_await:
// it does not block, and main waits for the promise it keeps at its end.
#include "network/Awaitable.h"
#include "network/FormFields.h"
#include "network/NetworkManager.h"
#include "network/NetworkOptions.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

namespace {

std::string describe(const std::error_code& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

// Prints a step; whether it went through.
bool report(const char* step, const tandrel::TransferResult& result)
{
    if (result.ec) {
        std::cerr << step << " failed: " << describe(result.ec) << std::endl;
        return false;
    }
    std::cout << step << ": status " << result.reply->statusCode() << "\n";
    return true;
}

tandrel::Detached loginFetchPost(std::shared_ptr<tandrel::NetworkRequest> request, tandrel::Url login,
                                 tandrel::Url page, tandrel::Url target, std::promise<int>& done)
{
    const tandrel::FormFields credentials{{{"user", "demo"}, {"password", "demo"}}};
    if (!report("login", co_await request->post(login, credentials)))
        co_return done.set_value(1);
    const tandrel::TransferResult fetched = co_await request->get(page);
    if (!report("fetch", fetched))
        co_return done.set_value(1);
    auto [ec, posted] = co_await request->post(target, fetched.reply->body());
    if (!report("post", {ec, posted}))
        co_return done.set_value(1);
    std::cout << posted->body();
    done.set_value(0);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::cerr << "usage: coroutine-chain LOGIN_URL PAGE_URL POST_URL" << std::endl;
        return 2;
    }
    const auto manager = tandrel::NetworkManager::create();
    const auto request = tandrel::NetworkRequest::create(manager);
    tandrel::NetworkOptions options;
    options.enableRecvCookies = true;
    request->setOptions(options);

    std::promise<int> done;
    loginFetchPost(request, tandrel::Url(argv[1]), tandrel::Url(argv[2]), tandrel::Url(argv[3]), done);
    const int code = done.get_future().get();
    manager->stop();

    std::error_code ec;
    if (!tandrel::NetworkManager::clearCookies(&ec) && ec != std::errc::no_such_file_or_directory) {
        std::cerr << "cannot delete " << tandrel::cookieFileName << ": " << describe(ec) << std::endl;
        return 1;
    }
    return code;
}
