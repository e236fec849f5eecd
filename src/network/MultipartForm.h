#pragma once

#include <curl/curl.h>

namespace tandrel {

/// A multipart form built and owned by the caller. The client only hands the
/// list head to libcurl; the caller keeps the list alive until the transfer's
/// completion callback has run, and frees it (curl_formfree).
struct MultipartForm
{
    /// The first part, as curl_formadd made it; null posts an empty form.
    curl_httppost* head = nullptr;
};

} // namespace tandrel
