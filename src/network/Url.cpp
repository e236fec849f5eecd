#include "network/Url.h"

#include "network/CurluCategory.h"

namespace tandrel {

namespace {

struct CurlFree
{
    void operator()(char* text) const { curl_free(text); }
};

void throwIfFailed(CURLUcode result)
{
    if (result != CURLUE_OK)
        throw std::error_code(result, curlu_category());
}

} // namespace

Url::Url()
    : handle(curl_url(), curl_url_cleanup)
{
}

Url::Url(const char* text)
    : Url()
{
    curl_url_set(handle.get(), CURLUPART_URL, text, 0);
}

Url::Url(const std::string& text)
    : Url(text.c_str())
{
}

std::string Url::toString() const
{
    return url();
}

void Url::set(CURLUPart part, const std::string& text)
{
    throwIfFailed(curl_url_set(handle.get(), part, text.c_str(), 0));
}

std::string Url::get(CURLUPart part) const
{
    char* raw = nullptr;
    const CURLUcode result = curl_url_get(handle.get(), part, &raw, 0);
    const std::unique_ptr<char, CurlFree> text(raw);
    if (part == CURLUPART_PORT && result == CURLUE_NO_PORT)
        return {};
    throwIfFailed(result);
    return text ? std::string(text.get()) : std::string();
}

// The accessors stay one per line, in setter/getter pairs.
// clang-format off
void Url::setUrl(const std::string& text) { set(CURLUPART_URL, text); }
std::string Url::url() const { return get(CURLUPART_URL); }

void Url::setScheme(const std::string& text) { set(CURLUPART_SCHEME, text); }
std::string Url::scheme() const { return get(CURLUPART_SCHEME); }

void Url::setUser(const std::string& text) { set(CURLUPART_USER, text); }
std::string Url::user() const { return get(CURLUPART_USER); }

void Url::setPassword(const std::string& text) { set(CURLUPART_PASSWORD, text); }
std::string Url::password() const { return get(CURLUPART_PASSWORD); }

void Url::setOptions(const std::string& text) { set(CURLUPART_OPTIONS, text); }
std::string Url::options() const { return get(CURLUPART_OPTIONS); }

void Url::setHost(const std::string& text) { set(CURLUPART_HOST, text); }
std::string Url::host() const { return get(CURLUPART_HOST); }

void Url::setPort(const std::string& text)
{
    if (!text.empty())
        set(CURLUPART_PORT, text);
}
std::string Url::port() const { return get(CURLUPART_PORT); }

void Url::setPath(const std::string& text) { set(CURLUPART_PATH, text); }
std::string Url::path() const { return get(CURLUPART_PATH); }

void Url::setQuery(const std::string& text) { set(CURLUPART_QUERY, text); }
std::string Url::query() const { return get(CURLUPART_QUERY); }

void Url::setFragment(const std::string& text) { set(CURLUPART_FRAGMENT, text); }
std::string Url::fragment() const { return get(CURLUPART_FRAGMENT); }

void Url::setZoneId(const std::string& text) { set(CURLUPART_ZONEID, text); }
std::string Url::zoneId() const { return get(CURLUPART_ZONEID); }
// clang-format on

} // namespace tandrel
