#include "network/CurlCategory.h"

#include <curl/curl.h>

namespace tandrel {

const char* _curl_category::name() const noexcept
{
    return "curl_category";
}

std::string _curl_category::message(int value) const
{
    return curl_easy_strerror(static_cast<CURLcode>(value));
}

const std::error_category& curl_category()
{
    static const _curl_category category;
    return category;
}

} // namespace tandrel
