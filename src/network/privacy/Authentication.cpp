#include "network/privacy/Authentication.h"

namespace tandrel::privacy {

void installAuthentication(CURL* handle, const NetworkAuth& auth)
{
    using Scheme = NetworkAuth::Scheme;
    const bool password = auth.scheme == Scheme::basic || auth.scheme == Scheme::digest;
    curl_easy_setopt(handle, CURLOPT_USERNAME, password ? auth.user.c_str() : nullptr);
    curl_easy_setopt(handle, CURLOPT_PASSWORD, password ? auth.password.c_str() : nullptr);
    curl_easy_setopt(handle, CURLOPT_XOAUTH2_BEARER, auth.scheme == Scheme::bearer ? auth.token.c_str() : nullptr);
    const unsigned long schemes[] = {CURLAUTH_BASIC, CURLAUTH_BASIC, CURLAUTH_DIGEST, CURLAUTH_BEARER};
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, schemes[static_cast<int>(auth.scheme)]);
}

} // namespace tandrel::privacy
