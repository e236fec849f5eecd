#pragma once

#include <string>

namespace tandrel {

/// How a request's transfers trust the server, and how they show who they
/// are. By default nothing is checked: the tool's gateway has a self-signed
/// certificate, and its trust decision is the signature checker's.
struct NetworkSecurity
{
    /// Verify the server's certificate chain and that it names the host asked
    /// for. Fails with CURLE_PEER_FAILED_VERIFICATION (60) for a certificate
    /// not trusted or not naming the host.
    bool verifyPeer = false;
    /// With verifyPeer: a PEM file of the certificates to trust, or a
    /// directory of them (OpenSSL's hashed names), instead of the system's store.
    std::string caFile;
    /// See caFile.
    std::string caDirectory;
    /// The server's public key must be one of these: "sha256//" and the
    /// base64 of the SHA-256 of its DER form, several joined by ';'. Checked
    /// whether verifyPeer is on or not; a mismatch fails with
    /// CURLE_SSL_PINNEDPUBKEYNOTMATCH (90).
    std::string pinnedPublicKey;
    /// A client certificate and its private key (PEM files), for a server that
    /// asks for one. One that can't be used fails with CURLE_SSL_CERTPROBLEM (58).
    std::string clientCertificate;
    /// See clientCertificate.
    std::string clientKey;

    /// `"NetworkSecurity:\n"` and one `"name:value\n"` line per setting.
    std::string toString() const;
};

} // namespace tandrel
