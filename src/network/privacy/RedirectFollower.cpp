#include "network/privacy/RedirectFollower.h"

#include "network/privacy/Authentication.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <new>
#include <utility>

namespace tandrel::privacy {

namespace {

bool isRedirect(long code)
{
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string part(CURLU* url, CURLUPart which)
{
    char* text = nullptr;
    if (curl_url_get(url, which, &text, CURLU_DEFAULT_PORT) != CURLUE_OK)
        return {};
    std::string value = lowered(text);
    curl_free(text);
    return value;
}

} // namespace

bool headerLineNamed(const std::string& line, std::initializer_list<const char*> names)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string name = lowered(line.substr(0, colon));
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

std::shared_ptr<curl_slist> makeHeaderList(const std::vector<std::string>& lines)
{
    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* appended = curl_slist_append(list, line.c_str());
        if (appended == nullptr) {
            curl_slist_free_all(list);
            throw std::bad_alloc();
        }
        list = appended;
    }
    return list != nullptr ? std::shared_ptr<curl_slist>(list, curl_slist_free_all) : nullptr;
}

RedirectFollower::RedirectFollower(int hops, std::string method, std::vector<std::string> lines,
                                   std::chrono::milliseconds connectLimit, NetworkAuth auth)
    : hopsLeft(hops)
    , method(std::move(method))
    , lines(std::move(lines))
    , connectLimit(connectLimit)
    , auth(std::move(auth))
{
}

bool RedirectFollower::next(CURL* handle, CURLcode& result, std::chrono::milliseconds left,
                            std::shared_ptr<curl_slist>& list)
{
    long code = 0;
    const char* location = nullptr;
    if (result != CURLE_OK || curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || !isRedirect(code)
        || curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || location == nullptr)
        return false;
    // Copied: the handle's next request replaces libcurl's string.
    const std::string target = location;
    if (!first) {
        const char* current = nullptr;
        curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &current);
        first = std::make_unique<Origin>(originOf(current != nullptr ? current : ""));
    }
    const Origin to = originOf(target);
    if (hopsLeft == 0)
        result = CURLE_TOO_MANY_REDIRECTS;
    else if (to.scheme != "http" && to.scheme != "https")
        result = CURLE_UNSUPPORTED_PROTOCOL;
    else if (left <= std::chrono::milliseconds::zero())
        result = CURLE_OPERATION_TIMEDOUT;
    if (result != CURLE_OK)
        return false;
    --hopsLeft;
    if (code == 303 || ((code == 301 || code == 302) && method == "POST"))
        becomeGet(handle);
    list = makeHeaderList(linesFor(to));
    if (auth.scheme != NetworkAuth::Scheme::none)
        installAuthentication(handle, to == *first ? auth : NetworkAuth());
    const auto ms = [](std::chrono::milliseconds span) {
        return static_cast<long>(std::min<std::chrono::milliseconds::rep>(span.count(), LONG_MAX));
    };
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(handle, CURLOPT_URL, target.c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, ms(std::min(left, connectLimit)));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, ms(left));
    return true;
}

RedirectFollower::Origin RedirectFollower::originOf(const std::string& url)
{
    Origin origin;
    CURLU* parsed = curl_url();
    if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK)
        origin = {part(parsed, CURLUPART_SCHEME), part(parsed, CURLUPART_HOST), part(parsed, CURLUPART_PORT)};
    curl_url_cleanup(parsed);
    return origin;
}

void RedirectFollower::becomeGet(CURL* handle)
{
    method = "GET";
    madeGet = true;
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
}

std::vector<std::string> RedirectFollower::linesFor(const Origin& target) const
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (madeGet && headerLineNamed(line, {"content-type", "content-length"}))
            continue;
        if (!(target == *first) && headerLineNamed(line, {"authorization", "cookie"}))
            continue;
        kept.push_back(line);
    }
    return kept;
}

} // namespace tandrel::privacy
