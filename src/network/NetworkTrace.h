#pragma once

#include <functional>
#include <string>

namespace tandrel {

/// What a trace callback is shown, as libcurl's debug function sees it.
enum class TraceKind {
    /// libcurl's own notes: connecting, TLS handshake, what it decided.
    text,
    /// The response's head, a line at a time; the request's head, whole.
    headerIn,
    headerOut,
    /// Body bytes, and TLS records as sent and received: only when asked.
    dataIn,
    dataOut,
    tlsIn,
    tlsOut,
};

/// Called on the worker thread, as a transfer goes, with what it does. The
/// values of Authorization, Proxy-Authorization and Cookie header lines are
/// replaced by "[redacted]". An exception from it is ignored.
using TraceCallback = std::function<void(TraceKind kind, const std::string& data)>;

/// A trace for a request's transfers, or a manager's default for requests
/// without one of their own. None by default.
struct NetworkTrace
{
    /// The callback; empty: no trace.
    TraceCallback callback;
    /// Whether bodies and TLS records are shown too (dataIn, dataOut, tlsIn,
    /// tlsOut); they may be large, and hold what the redaction does not cover.
    bool bodies = false;
};

} // namespace tandrel
