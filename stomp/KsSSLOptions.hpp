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

class KS_API TKsSSLOptions {
 public:
  std::string CertificateFile;
  std::string KeyFile;
  std::string RootCertificateFile;
  bool VerifyPeer = true;
  std::string ServerName;
};

}  // namespace ks
