#pragma once

/// @file
/// co_await for the client's transfers; needs C++20 coroutines:
///
///     auto [ec, reply] = co_await request->get(url);
///
/// The awaiting coroutine resumes on the manager's worker thread, as a
/// completion callback runs, once the transfer has ended: with 0 or
/// libcurl's code, or with CURLE_ABORTED_BY_CALLBACK (42) when it was
/// aborted or its manager stopped. A transfer that can't start (a set-up
/// failure, or a stopped manager) resumes it at once on the thread that
/// awaits. There is no executor to choose: a coroutine that must go on
/// elsewhere hands itself over there after the co_await. What runs on the
/// worker must not block it (see the client guide), so blocking forms are
/// not for such a coroutine.

#if !defined(__cpp_impl_coroutine)
#error "network/Awaitable.h needs C++20 coroutines"
#endif

#include "network/CurlCategory.h"
#include "network/PendingTransfer.h"

#include <curl/curl.h>

#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

namespace tandrel {

/// What co_await on a PendingTransfer awaits; the compiler calls its
/// members, programs do not.
class TransferAwaiter
{
public:
    /// Takes over transfer, which starts when the coroutine suspends.
    explicit TransferAwaiter(PendingTransfer transfer)
        : transfer(std::move(transfer))
    {
    }

    /// Never ready: the transfer starts in await_suspend.
    bool await_ready() const noexcept { return false; }

    /// Starts the transfer. After start nothing here touches the awaiter:
    /// the coroutine may already be running on the worker.
    bool await_suspend(std::coroutine_handle<> waiting)
    {
        auto resumer = std::make_shared<Resumer>(waiting, result);
        PendingTransfer starting = std::move(transfer);
        try {
            starting.start([resumer](const std::error_code& ec, std::shared_ptr<NetworkReply> reply) {
                resumer->resume(ec, std::move(reply));
            });
        } catch (const std::error_code& failure) {
            resumer->cancel();
            result = {failure, nullptr};
            return false;
        }
        return true;
    }

    /// How the transfer ended, the value of the co_await.
    TransferResult await_resume() { return std::move(result); }

private:
    /// Resumes the coroutine once: from the completion callback, or, when the
    /// callback is released without having run, with CURLE_ABORTED_BY_CALLBACK.
    class Resumer
    {
    public:
        Resumer(std::coroutine_handle<> waiting, TransferResult& result)
            : waiting(waiting)
            , result(result)
        {
        }
        Resumer(const Resumer&) = delete;
        Resumer& operator=(const Resumer&) = delete;
        ~Resumer()
        {
            if (waiting)
                resume(std::error_code(CURLE_ABORTED_BY_CALLBACK, curl_category()), nullptr);
        }

        void resume(const std::error_code& ec, std::shared_ptr<NetworkReply> reply)
        {
            result = {ec, std::move(reply)};
            std::exchange(waiting, nullptr).resume();
        }
        void cancel() { waiting = nullptr; }

    private:
        std::coroutine_handle<> waiting;
        TransferResult& result;
    };

    PendingTransfer transfer;
    TransferResult result;
};

/// Makes a PendingTransfer awaitable: `auto [ec, reply] = co_await request->get(url);`
inline TransferAwaiter operator co_await(PendingTransfer transfer)
{
    return TransferAwaiter(std::move(transfer));
}

/// A coroutine type for chains of transfers: it runs at once, up to its first
/// co_await, and frees itself when it ends; the caller learns of its end
/// from the coroutine itself (a promise it sets, say). An exception that
/// leaves it ends the program.
struct Detached
{
    /// The promise the compiler asks for; nothing to call in it.
    struct promise_type
    {
        ///@{
        /// Runs at once, frees itself at the end, terminates on an exception.
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
        ///@}
    };
};

} // namespace tandrel
