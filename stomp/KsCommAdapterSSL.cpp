#include "stomp/KsCommAdapterSSL.hpp"

#include <mutex>

#include "jms/KsURI.hpp"
#include "net/KsTlsSession.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "support/KsLogFactory.hpp"

namespace ks {

namespace {

constexpr const char* kAdapterName = "TKsCommAdapterSSL";

}  // namespace

TKsCommAdapterSSL::TKsCommAdapterSSL() { SetLogger(TLogFactory::GetLogger(kAdapterName)); }

bool TKsCommAdapterSSL::SupportsProtocol(const std::string& protocol) const { return protocol == "stomp+ssl"; }

std::string TKsCommAdapterSSL::GetName() const { return kAdapterName; }

std::unique_ptr<IKsSocketLayer> TKsCommAdapterSSL::MakeSocketLayer() {
  // A plain address (a failover list that names both kinds) is served
  // without TLS.
  if (const auto uri = GetURI(); uri && uri->GetProtocol() == "stomp") return nullptr;
  TKsTlsSettings settings;
  if (const TKsSSLOptions* options = GetSSLOptions()) {
    settings.CaFile = options->RootCertificateFile;
    settings.CertFile = options->CertificateFile;
    settings.KeyFile = options->KeyFile;
    settings.ServerName = options->ServerName;
    settings.VerifyPeer = options->VerifyPeer;
  }
  return std::make_unique<TKsTlsSession>(settings, GetClient()->GetHost());
}

void RegisterTlsAdapter() {
  static std::mutex once;
  std::lock_guard<std::mutex> guard(once);
  RegisterTcpAdapter();
  if (IsAdapterClassRegistered(kAdapterName)) return;
  RegisterAdapterClass(kAdapterName, [] { return std::make_unique<TKsCommAdapterSSL>(); });
}

}  // namespace ks
