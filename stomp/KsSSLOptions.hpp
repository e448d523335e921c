// KsSSLOptions: settings for adapters that encrypt their transport.
//
// The TCP adapter holds one of these (it owns it) but reads nothing from it;
// the object exists so that an encrypting adapter can be added without
// changing the adapter interface.
//
// Thread safety: a plain value object; one thread at a time.
#pragma once

#include <string>

namespace ks {

class TKsSSLOptions {
 public:
  std::string CertificateFile;
  std::string KeyFile;
  std::string RootCertificateFile;
  bool VerifyPeer = true;
};

}  // namespace ks
