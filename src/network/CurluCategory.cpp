#include "network/CurluCategory.h"

#include <iterator>

namespace tandrel {

namespace {

// Indexed by CURLUcode value; libcurl's own names, since it has no strerror for them.
const char* const messages[] = {
    "CURLUE_OK",
    "CURLUE_BAD_HANDLE",
    "CURLUE_BAD_PARTPOINTER",
    "CURLUE_MALFORMED_INPUT",
    "CURLUE_BAD_PORT_NUMBER",
    "CURLUE_UNSUPPORTED_SCHEME",
    "CURLUE_URLDECODE",
    "CURLUE_OUT_OF_MEMORY",
    "CURLUE_USER_NOT_ALLOWED",
    "CURLUE_UNKNOWN_PART",
    "CURLUE_NO_SCHEME",
    "CURLUE_NO_USER",
    "CURLUE_NO_PASSWORD",
    "CURLUE_NO_OPTIONS",
    "CURLUE_NO_HOST",
    "CURLUE_NO_PORT",
    "CURLUE_NO_QUERY",
    "CURLUE_NO_FRAGMENT",
};

} // namespace

const char* _curlu_category::name() const noexcept
{
    return "curlu_category";
}

std::string _curlu_category::message(int value) const
{
    // Compared unsigned so that negative values fall outside the table too.
    const auto index = static_cast<unsigned>(value);
    if (index < std::size(messages))
        return messages[index];
    return "Unknown CURLUE Error";
}

const std::error_category& curlu_category()
{
    static const _curlu_category category;
    return category;
}

} // namespace tandrel
