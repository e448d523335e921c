// KsTlsSession: TKsTlsSession, the TLS client layer (OpenSSL) that the TCP
// stream puts between itself and its socket for "stomp+ssl" connections.
//
// The constructor reads the certificate files and builds the TLS context, so
// a missing or unusable file fails before anything is connected; Open runs
// the handshake on the connected socket within the given time. With
// VerifyPeer (the default) the broker's certificate must chain to a trusted
// root (CaFile, or the system's trust store when it is empty) and name the
// host: ServerName when set, else the host of the broker address, matched as
// an IP address when it is one. The name (not an IP address) is sent as SNI.
// TLS 1.2 is the oldest version offered; renegotiation is refused.
//
// Errors are EKsTlsError (an EKsSocketError) whose text names the cause, with
// OpenSSL's reason in brackets: a file that cannot be read or used, an
// untrusted certificate, a certificate for another name, a peer that does
// not speak TLS (a plain STOMP port), a peer that closes the connection, a
// handshake that does not end in time. A private key protected by a
// passphrase is refused, never prompted for.
//
// Ownership: the stream owns the session (std::unique_ptr); the session owns
// its OpenSSL objects, never the socket.
// Threads: Receive and Send may run at the same time on two threads (one
// reader, one writer); each OpenSSL call on the connection is made under the
// session's lock and never waits. Open and Close run alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "net/KsTcpClient.hpp"

#include "support/KsErrors.hpp"

struct ssl_st;
struct ssl_ctx_st;

namespace ks {


struct TKsTlsSettings {
  std::string CaFile;      // PEM file of trusted certificates; empty: the system's
  std::string CertFile;    // PEM client certificate (chain); empty: none
  std::string KeyFile;     // PEM private key of CertFile; empty: in CertFile
  std::string ServerName;  // the name to verify and send as SNI; empty: host
  bool VerifyPeer = true;
};

class TKsTlsSession final : public IKsSocketLayer {
 public:
  // host: the broker address's host (brackets around an IPv6 address are
  // allowed). Raises EKsTlsError for a file that cannot be used.
  TKsTlsSession(const TKsTlsSettings& settings, const std::string& host);
  ~TKsTlsSession() override;
  TKsTlsSession(const TKsTlsSession&) = delete;
  TKsTlsSession& operator=(const TKsTlsSession&) = delete;

  void Open(int fd, std::int32_t timeoutMs) override;
  std::size_t Receive(char* dest, std::size_t size, TWait& wait) override;
  std::size_t Send(const char* src, std::size_t size, TWait& wait) override;
  bool Pending() override;
  void Close(bool notifyPeer) noexcept override;

 private:
  // The roots a broker's chain must reach: caFile, or the system's when empty.
  void LoadTrustedRoots(const std::string& caFile);
  // The client certificate and key of settings (certFile, keyFile).
  void LoadOwnCertificate(const TKsTlsSettings& settings);
  // Raises the error of a failed handshake step (result of SSL_get_error).
  [[noreturn]] void RaiseHandshakeError(int code, int sysErrno);
  // Raises the error of a failed Receive or Send.
  [[noreturn]] void RaiseStreamError(const char* what, int code, int sysErrno);

  std::mutex mutex_;  // held for every OpenSSL call on ssl_
  ssl_ctx_st* context_ = nullptr;
  ssl_st* ssl_ = nullptr;
  std::string name_;        // the name or address verified
  std::string caFile_;      // for error texts
  bool verifyPeer_ = true;
  bool failed_ = false;     // a fatal error: no goodbye on Close
  bool deferred_ = false;   // Receive saw the end after bytes: report it next
};

}  // namespace ks
