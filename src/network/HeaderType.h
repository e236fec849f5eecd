#pragma once

namespace tandrel {

/// Known request and response header names; NetworkHeaders::headerName gives
/// each its canonical spelling. The underlying type is fixed, so any int,
/// negative ones included, is a valid HeaderType (an unknown one).
enum HeaderType : int {
    ContentType = 0,
    ContentLength = 1,
    Location = 2,
    LastModified = 3,
    Cookie = 4,
    SetCookie = 5,
    ContentDisposition = 6,
    UserAgent = 7,
    Server = 8,
    IfModifiedSince = 9,
    ETag = 10,
    IfMatch = 11,
    IfNoneMatch = 12,
    TransferEncoding = 13,
    AccessControlAllowOrigin = 14,
};

} // namespace tandrel
