// KsCommAdapterSSL: TKsCommAdapterSSL, the transport adapter for STOMP over
// TLS (scheme "stomp+ssl", default port 61612), and RegisterTlsAdapter,
// which puts it into the adapter registry beside the TCP adapter.
//
// It is the TCP adapter with a TLS session (net/KsTlsSession.hpp) between
// the stream and the socket: connect, time-outs, buffering, frame cutting,
// the reader thread and every failure rule are those of TKsCommAdapterIndy;
// only the bytes on the socket are encrypted. Connect reads the adapter's
// SSL options (KsSSLOptions.hpp), then connects and runs the handshake
// within the connect time-out (30 s when none is set). A certificate file
// that cannot be used, an untrusted or misnamed broker certificate, a peer
// that does not speak TLS and a handshake that does not end in time each
// make Connect raise EKsTlsError naming the cause, with nothing left open.
// Given a plain "stomp" address (a failover list may name both kinds), it
// connects without TLS, as the TCP adapter does.
//
// Ownership and threads: as TKsCommAdapterIndy.
#pragma once

#include <memory>
#include <string>

#include "stomp/KsCommAdapterIndy.hpp"

namespace ks {

// The port of a "stomp+ssl" broker address that names none.
inline constexpr const char* kTlsDefaultPort = "61612";

class TKsCommAdapterSSL : public TKsCommAdapterIndy {
 public:
  TKsCommAdapterSSL();

  // True exactly for "stomp+ssl" (case-sensitive).
  bool SupportsProtocol(const std::string& protocol) const override;
  std::string GetName() const override;

 protected:
  std::unique_ptr<IKsSocketLayer> MakeSocketLayer() override;
};

// Registers TKsCommAdapterSSL in the adapter registry once (after the TCP
// adapter, which stays the default); later calls do nothing.
void RegisterTlsAdapter();

}  // namespace ks
