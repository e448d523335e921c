// KsSSLOptions: settings for adapters that encrypt their transport.
//
// Every adapter owns one of these; the TLS adapter (KsCommAdapterSSL) reads
// it at each Connect, the TCP adapter ignores it. The connection factory
// fills it from its own options and the broker URL's parameters caFile,
// certFile, keyFile, verifyPeer and serverName.
//
// Fields: RootCertificateFile, a PEM file of trusted certificates (empty: the
// system's trust store); CertificateFile and KeyFile, a client certificate
// and its private key, both PEM, for brokers that ask for one (an empty
// KeyFile: the key is in CertificateFile); VerifyPeer (default true): the
// broker's certificate must chain to a trusted root and name the host of
// the broker address (or ServerName), else the handshake fails; ServerName,
// the name to verify and to send as SNI when it differs from the host.
//
// Thread safety: a plain value object; one thread at a time.
#pragma once

#include <string>

#include "../support/KsExport.hpp"

namespace ks {

// TLS settings (see above).
class KS_API TKsSSLOptions {
 public:
  // PEM client certificate, for brokers that ask for one; empty: none.
  std::string CertificateFile;
  // PEM private key of CertificateFile; empty: in CertificateFile.
  std::string KeyFile;
  // PEM file of trusted root certificates; empty: the system's trust store.
  std::string RootCertificateFile;
  // The broker's certificate must chain to a trusted root and name the host
  // (or ServerName); false gives up both checks (for tests only).
  bool VerifyPeer = true;
  // The name to verify and to send as SNI; empty: the URL's host.
  std::string ServerName;
};

}  // namespace ks
