#pragma once

#include <string>
#include <system_error>

namespace tandrel {

/// Error category of libcurl's URL interface result codes (CURLUcode).
/// Messages are the enumerator names; values outside 0..17 read "Unknown CURLUE Error".
class _curlu_category : public std::error_category
{
public:
    /// "curlu_category".
    const char* name() const noexcept override;
    /// The enumerator's name of value, or "Unknown CURLUE Error".
    std::string message(int value) const override;
};

/// The process's single _curlu_category object.
const std::error_category& curlu_category();

} // namespace tandrel
