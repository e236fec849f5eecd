#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>

namespace tandrel {

class NetworkReply;

/// Called once on the manager's worker thread when a transfer has completed:
/// libcurl's result in curl_category() (0 whatever the HTTP status), and the
/// reply. Never called for an aborted transfer or one dropped by stop.
using CompletionCallback = std::function<void(const std::error_code&, std::shared_ptr<NetworkReply>)>;

/// Called on the worker thread during a download with (bytes received, total
/// announced), only while the total is known (not 0).
using ProgressCallback = std::function<void(unsigned long long, unsigned long long)>;

/// Called on the worker thread with each piece of a streamed body, in order,
/// as it arrives. Returning false stops the transfer (its completion then
/// carries CURLE_ABORTED_BY_CALLBACK).
using ChunkCallback = std::function<bool(const char* data, std::size_t size)>;

} // namespace tandrel
