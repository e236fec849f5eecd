#include "network/PendingTransfer.h"

#include "network/CurlCategory.h"

#include <curl/curl.h>

#include <utility>

namespace tandrel {

namespace {

// The promise of one future, owned by the completion callback's copies and
// by future() until the transfer has started. Released without the
// callback having run (the transfer was aborted or dropped), it is kept
// with CURLE_ABORTED_BY_CALLBACK and the reply, as a blocking call returns.
class Promised
{
public:
    ~Promised()
    {
        if (!settled)
            promise.set_value({std::error_code(CURLE_ABORTED_BY_CALLBACK, curl_category()), started.lock()});
    }

    void settle(const std::error_code& ec, std::shared_ptr<NetworkReply> reply)
    {
        settled = true;
        promise.set_value({ec, std::move(reply)});
    }

    std::promise<TransferResult> promise;
    // Set by future() while it still holds this. Weak: the reply holds the
    // callback, which holds this.
    std::weak_ptr<NetworkReply> started;

private:
    bool settled = false;
};

} // namespace

PendingTransfer::PendingTransfer(Starter starter)
    : starter(std::move(starter))
{
}

std::shared_ptr<NetworkReply> PendingTransfer::start(const CompletionCallback& done)
{
    if (!starter)
        throw std::error_code(CURLE_BAD_FUNCTION_ARGUMENT, curl_category());
    const Starter once = std::move(starter);
    starter = nullptr;
    started = once(done);
    return started;
}

std::future<TransferResult> PendingTransfer::future()
{
    auto promised = std::make_shared<Promised>();
    std::future<TransferResult> result = promised->promise.get_future();
    try {
        promised->started = start([promised](const std::error_code& ec, std::shared_ptr<NetworkReply> reply) {
            promised->settle(ec, std::move(reply));
        });
    } catch (const std::error_code& failure) {
        promised->settle(failure, nullptr);
    }
    return result;
}

} // namespace tandrel
