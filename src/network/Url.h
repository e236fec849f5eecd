#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tandrel {

/// A URL held in one libcurl URL handle. Copies share the handle: a part set
/// through one copy is seen through all of them. Not thread-safe.
///
/// Every setter and getter throws a plain std::error_code in curlu_category()
/// when libcurl refuses the operation (never a std::system_error).
class Url
{
public:
    /// An empty URL: reading any part of it throws until one is set.
    Url();
    ///@{
    /// Parses text as a whole URL. A text libcurl refuses leaves the URL
    /// empty and throws nothing; the failure shows when a part is read.
    explicit Url(const char* text);
    explicit Url(const std::string& text);
    ///@}

    /// The full URL text as libcurl composes it from the parts; the same as url().
    std::string toString() const;

    ///@{
    /// The whole URL: setting it parses text and replaces every part
    /// (CURLUE_MALFORMED_INPUT and the like when libcurl refuses it, and the
    /// URL keeps its parts); reading it composes the text from the parts.
    void setUrl(const std::string& text);
    std::string url() const;
    ///@}

    /// @name Parts
    /// Each part is set as given (an empty text clears it, the port aside)
    /// and read back as libcurl holds it. Reading a part the URL has not
    /// throws its CURLUE_NO_ code (CURLUE_NO_USER, CURLUE_NO_QUERY, ...);
    /// a text libcurl refuses for a part throws, and leaves the part as it was.
    ///@{
    void setScheme(const std::string& text);
    std::string scheme() const;

    void setUser(const std::string& text);
    std::string user() const;

    void setPassword(const std::string& text);
    std::string password() const;

    /// The login options after the user name's ';' (for IMAP and the like).
    void setOptions(const std::string& text);
    std::string options() const;

    void setHost(const std::string& text);
    std::string host() const;

    /// The port is text both ways. An empty text leaves the port as it is;
    /// a URL without a port reads back as an empty text instead of throwing.
    void setPort(const std::string& text);
    std::string port() const;

    void setPath(const std::string& text);
    std::string path() const;

    void setQuery(const std::string& text);
    std::string query() const;

    void setFragment(const std::string& text);
    std::string fragment() const;

    /// An IPv6 address's zone, as in `"http://[fe80::1%25eth0]/"`.
    void setZoneId(const std::string& text);
    std::string zoneId() const;
    ///@}

private:
    void set(CURLUPart part, const std::string& text);
    std::string get(CURLUPart part) const;

    std::shared_ptr<CURLU> handle;
};

} // namespace tandrel
