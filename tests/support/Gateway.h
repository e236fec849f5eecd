#pragma once

#include "TestSupport.h"

#include <boost/filesystem/path.hpp>
#include <boost/process/child.hpp>
#include <boost/process/pipe.hpp>

#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
class UnixProcess;
#endif

namespace testing_support {

// The HTTPS gateway stand-in, run as a child process on 127.0.0.1 with a
// certificate made at start; killed by PID and reaped when the object goes.
// fileMode chooses how it answers requests for files under documentRoot
// (normal, 404, redirect, nolength, empty, drip, reset, stall, close-early,
// big-header, overflow, hold: half the file, the rest after release();
// empty-frames: HTTP/2, a 200 head and then empty DATA frames only). A plain
// gateway speaks HTTP without TLS, so a client's TLS handshake with it fails.
class Gateway
{
public:
    enum class Security { tls, plain };

    // extraArguments go to the server script as they are (--proxy ... makes it a proxy).
    explicit Gateway(const boost::filesystem::path& documentRoot, const std::string& fileMode = "normal",
                     Security security = Security::tls, const std::vector<std::string>& extraArguments = {});
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    unsigned short port() const { return listenPort; }
    // "https://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;
    // Its self-signed certificate (PEM), and its key's pin ("sha256//...").
    boost::filesystem::path certificate() const;
    std::string pin() const;
    // Lets the answers it holds back (file mode hold) go on, and later ones
    // through at once.
    void release() const;
    // What a proxy was asked for so far, a line per request ("CONNECT
    // 127.0.0.1:443", "SOCKS5 domain localhost:443").
    std::string proxyLog() const;

private:
    // Starts the server script with arguments; its first line, or empty
    // when it ended or timedOut before writing one.
    std::string start(const std::vector<std::string>& arguments, bool& timedOut);
    void stop();

    TempDir workDir; // holds the certificate and key
#ifdef _WIN32
    std::unique_ptr<UnixProcess> server; // python3 on the Linux side of Wine
#else
    boost::process::opstream input; // the server ends when this closes
    boost::process::ipstream output;
    boost::process::child process;
#endif
    unsigned short listenPort = 0;
};

} // namespace testing_support
