#pragma once

#include <string>
#include <system_error>

namespace tandrel {

/// Error category of libcurl's easy and multi result codes (CURLcode).
/// Messages are libcurl's own texts from curl_easy_strerror.
class _curl_category : public std::error_category
{
public:
    /// "curl_category".
    const char* name() const noexcept override;
    /// curl_easy_strerror's text for value.
    std::string message(int value) const override;
};

/// The process's single _curl_category object.
const std::error_category& curl_category();

} // namespace tandrel
