#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tandrel {

namespace privacy {
class NetworkManagerPrivate;
class NetworkReplyPrivate;
class NetworkRequestPrivate;
} // namespace privacy

/// One transfer and its answer. Read it once the transfer is over: in the
/// completion callback or after a blocking call returned.
class NetworkReply : public std::enable_shared_from_this<NetworkReply>
{
public:
    /// Made by the client for each transfer it starts.
    explicit NetworkReply(std::shared_ptr<privacy::NetworkReplyPrivate> d);
    virtual ~NetworkReply();

    /// The HTTP status; 0 when no response came.
    int statusCode() const;
    /// Every header byte received, status lines and blank lines included.
    std::string headerText() const;
    /// The headers of the final response (not of 1xx answers or of redirects
    /// followed) as (name, value), in the order received.
    std::vector<std::pair<std::string, std::string>> headers() const;
    /// The value of the final response's first header named name, compared
    /// without regard to case; empty when there is none.
    std::string header(const std::string& name) const;
    /// The body of a get or post; empty for a download.
    std::string body() const;
    /// The effective URL.
    std::string url() const;
    /// The download target; empty for a get or post.
    std::string filePath() const;
    /// The whole transfer's time in microseconds.
    std::int64_t totalTime() const;

    /// Cancels the transfer through the reply's manager (NetworkManager::abortReply).
    void abort();

    /// `"reply:\n"`, then url, status code, header text and body lines.
    std::string toString() const;

private:
    friend class privacy::NetworkManagerPrivate;
    friend class privacy::NetworkRequestPrivate;

    std::shared_ptr<privacy::NetworkReplyPrivate> d;
};

} // namespace tandrel
