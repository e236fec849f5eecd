#include "network/NetworkHeaders.h"

#include <iterator>

namespace tandrel {

namespace {

// Indexed by HeaderType.
const char* const names[] = {
    "Content-Type",
    "Content-Length",
    "Location",
    "Last-Modified",
    "Cookie",
    "Set-Cookie",
    "Content-Disposition",
    "User-Agent",
    "Server",
    "If-Modified-Since",
    "ETag",
    "If-Match",
    "If-None-Match",
    "Transfer-Encoding",
    "Access-Control-Allow-Origin",
};

} // namespace

std::string NetworkHeaders::headerName(HeaderType type)
{
    // Compared unsigned so that negative values fall outside the table too.
    const auto index = static_cast<unsigned>(type);
    return index < std::size(names) ? names[index] : "Unknown-Header";
}

void NetworkHeaders::setHeader(const std::string& name, const char* value)
{
    headers[name] = value != nullptr ? value : "";
}

std::list<std::string> NetworkHeaders::headerLines() const
{
    std::list<std::string> lines;
    for (const auto& [name, value] : headers)
        lines.push_back(name + ": " + value);
    return lines;
}

std::string NetworkHeaders::toString() const
{
    std::string text = "header:\n";
    for (const auto& [name, value] : headers)
        text += name + ": " + value + "\n";
    return text;
}

} // namespace tandrel
