#include "network/NetworkManager.h"

#include "network/privacy/NetworkManagerPrivate.h"

#include <cerrno>
#include <cstdio>

namespace tandrel {

std::shared_ptr<NetworkManager> NetworkManager::instance()
{
    static const std::shared_ptr<NetworkManager> manager(new NetworkManager);
    return manager;
}

std::shared_ptr<NetworkManager> NetworkManager::create()
{
    return std::shared_ptr<NetworkManager>(new NetworkManager);
}

NetworkManager::NetworkManager()
    : d(new privacy::NetworkManagerPrivate, &privacy::NetworkManagerPrivate::destroy)
{
}

NetworkManager::~NetworkManager()
{
    // Released before anything else, so the engine is gone before the manager.
    const auto released = std::move(d);
}

void NetworkManager::setTimeout(int seconds)
{
    d->setTimeout(seconds);
}

int NetworkManager::timeout() const
{
    return d->timeout();
}

void NetworkManager::setProxy(const NetworkProxy& proxy)
{
    d->setProxy(proxy);
}

NetworkProxy NetworkManager::proxy() const
{
    return d->proxy();
}

void NetworkManager::setTrace(const NetworkTrace& trace)
{
    d->setTrace(trace);
}

NetworkTrace NetworkManager::trace() const
{
    return d->trace();
}

void NetworkManager::setConnectionLimits(const ConnectionLimits& limits)
{
    d->setConnectionLimits(limits);
}

ConnectionLimits NetworkManager::connectionLimits() const
{
    return d->connectionLimits();
}

void NetworkManager::stop()
{
    d->stop();
}

void NetworkManager::abortReply(std::shared_ptr<NetworkReply> reply)
{
    d->abortReply(std::move(reply));
}

bool NetworkManager::clearCookies(std::error_code* ec)
{
    if (std::remove(cookieFileName) == 0)
        return true;
    if (ec != nullptr)
        *ec = std::error_code(errno, std::generic_category());
    return false;
}

} // namespace tandrel
