#include "network/NetworkReply.h"

#include "network/NetworkManager.h"
#include "network/privacy/NetworkReplyPrivate.h"

namespace tandrel {

NetworkReply::NetworkReply(std::shared_ptr<privacy::NetworkReplyPrivate> d)
    : d(std::move(d))
{
}

NetworkReply::~NetworkReply() = default;

int NetworkReply::statusCode() const
{
    return d->statusCode();
}

std::string NetworkReply::headerText() const
{
    return d->headerText();
}

std::vector<std::pair<std::string, std::string>> NetworkReply::headers() const
{
    return d->headers();
}

std::string NetworkReply::header(const std::string& name) const
{
    return d->header(name);
}

std::string NetworkReply::body() const
{
    return d->body();
}

std::string NetworkReply::url() const
{
    return d->url();
}

std::string NetworkReply::filePath() const
{
    return d->filePath();
}

std::int64_t NetworkReply::totalTime() const
{
    return d->totalTime();
}

void NetworkReply::abort()
{
    d->manager()->abortReply(shared_from_this());
}

std::string NetworkReply::toString() const
{
    return d->toString();
}

} // namespace tandrel
