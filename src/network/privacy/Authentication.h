#pragma once

#include "network/NetworkAuth.h"

#include <curl/curl.h>

namespace tandrel::privacy {

// Sets handle up to send auth's credentials; with Scheme::none, clears any
// it was given before.
void installAuthentication(CURL* handle, const NetworkAuth& auth);

} // namespace tandrel::privacy
