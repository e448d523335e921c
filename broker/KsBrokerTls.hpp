// KsBrokerTls: Cistern's TLS side (OpenSSL). TBrokerTlsContext holds the
// certificate and key the TLS listener serves with; TBrokerTlsStream is one
// connection's TLS state over its non-blocking socket, driven by the server
// loop: every call returns at once and says what the socket must become
// ready for before the call can get further.
//
// Ownership: the server owns the context; each connection owns its stream,
// which must go before the context. A stream never closes the socket.
// Threads: Cistern's loop is single-threaded; so is all of this.
#pragma once

#include <cstddef>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace ks {

class TBrokerTlsContext {
 public:
  // Reads a PEM certificate (chain) and its PEM private key. Throws
  // ks::Exception naming the file and OpenSSL's reason when either cannot
  // be used.
  TBrokerTlsContext(const std::string& certFile, const std::string& keyFile);
  ~TBrokerTlsContext();
  TBrokerTlsContext(const TBrokerTlsContext&) = delete;
  TBrokerTlsContext& operator=(const TBrokerTlsContext&) = delete;

  ssl_ctx_st* Get() const { return context_; }

 private:
  ssl_ctx_st* context_ = nullptr;
};

class TBrokerTlsStream {
 public:
  // Progress of a call: Done (the handshake is over, or bytes moved),
  // WantRead / WantWrite (try again when the socket is ready that way),
  // Closed (the peer ended the connection), Failed (see ErrorText).
  enum class TStatus { Done, WantRead, WantWrite, Closed, Failed };

  TBrokerTlsStream(const TBrokerTlsContext& context, int fd);
  ~TBrokerTlsStream();
  TBrokerTlsStream(const TBrokerTlsStream&) = delete;
  TBrokerTlsStream& operator=(const TBrokerTlsStream&) = delete;

  // Advances the server side of the handshake.
  TStatus Handshake();
  bool Ready() const { return ready_; }
  // Decrypted bytes into to (at most size), whole records while room for one
  // is left. Reads ahead: the socket is read in large pieces, so input may
  // stay behind in OpenSSL, unseen by epoll (see Pending). Answers the
  // count; the status says why it stopped (Done only with bytes).
  std::size_t Read(char* to, std::size_t size, TStatus& status);
  // True when input waits in OpenSSL for the next Read.
  bool Pending() const;
  // Encrypts and sends from data; answers the count taken (possibly less
  // than size). The bytes not taken must be offered again, unchanged at the
  // front, when the status asks for it.
  std::size_t Write(const char* data, std::size_t size, TStatus& status);
  // Sends close_notify once, without waiting for the peer's (nothing after
  // a failure or before the handshake is over).
  void Shutdown();
  // Why the last call failed (OpenSSL's reason).
  const std::string& ErrorText() const { return error_; }

 private:
  TStatus StatusOf(int result);

  ssl_st* ssl_ = nullptr;
  bool ready_ = false;
  bool failed_ = false;
  std::string error_;
};

}  // namespace ks
