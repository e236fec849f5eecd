#pragma once

#include "network/NetworkAuth.h"

#include <curl/curl.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace tandrel::privacy {

// A curl_slist of lines, freed with its last owner; null for no lines.
std::shared_ptr<curl_slist> makeHeaderList(const std::vector<std::string>& lines);
// Whether line is a "Name: value" header line whose name, in any case, is
// one of names (given in lower case).
bool headerLineNamed(const std::string& line, std::initializer_list<const char*> names);

// Follows the redirects of a transfer with a body or a method of its own,
// deciding each next request itself: libcurl 7.88 keeps a custom method on
// a 303 and sends a PUT's 301 or 302 without its body. 301 and 302 turn a
// POST into a GET and keep any other method with its body; 303 turns every
// method into a GET; 307 and 308 keep both. A GET made so sends no body and
// no Content-Type or Content-Length line; a request to another origin than
// the first sends no Authorization or Cookie line of the caller's, nor the
// request's credentials.
class RedirectFollower
{
public:
    // hops: the most to follow; method: "POST" or the custom method; lines:
    // the header lines the first request sends; connectLimit: the longest a
    // connection may take, within the time left; auth: the credentials, sent
    // only to the first request's origin.
    RedirectFollower(int hops, std::string method, std::vector<std::string> lines,
                     std::chrono::milliseconds connectLimit, NetworkAuth auth);

    // After a response libcurl completed with result on handle: whether the
    // handle is now set up for the next request, given the time left. If
    // so, list is the header list it points at, to be kept while it does.
    // If not, result is the transfer's outcome: a redirect past the hop
    // limit ends with CURLE_TOO_MANY_REDIRECTS, one to a scheme other than
    // http and https with CURLE_UNSUPPORTED_PROTOCOL, one without time left
    // with CURLE_OPERATION_TIMEDOUT.
    bool next(CURL* handle, CURLcode& result, std::chrono::milliseconds left, std::shared_ptr<curl_slist>& list);

private:
    struct Origin
    {
        std::string scheme;
        std::string host;
        std::string port;
        bool operator==(const Origin& other) const
        {
            return scheme == other.scheme && host == other.host && port == other.port;
        }
    };

    static Origin originOf(const std::string& url);
    void becomeGet(CURL* handle);
    std::vector<std::string> linesFor(const Origin& target) const;

    int hopsLeft;
    std::string method;
    // Whether a redirect made the request a GET, which has no content.
    bool madeGet = false;
    std::vector<std::string> lines;
    std::chrono::milliseconds connectLimit;
    NetworkAuth auth;
    // The first request's, read at the first redirect.
    std::unique_ptr<Origin> first;
};

} // namespace tandrel::privacy
