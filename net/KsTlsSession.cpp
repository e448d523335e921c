#include "net/KsTlsSession.hpp"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

namespace ks {

namespace {

// The largest plaintext of one TLS record.
constexpr std::size_t kMaxRecord = 16384;

// --- A socket BIO that never raises SIGPIPE ------------------------------
// OpenSSL's own socket BIO writes with write(), which kills a process that
// does not ignore SIGPIPE when the peer has gone; this one sends with
// MSG_NOSIGNAL. The BIO's data is the descriptor.

int BioDescriptor(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::send(BioDescriptor(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int BioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::recv(BioDescriptor(bio), data, static_cast<std::size_t>(length), 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long BioControl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once, kept for the life of the process.
BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ksstomp socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioControl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  return method;
}

// ---------------------------------------------------------------------------

// SSL_get_error needs an empty error queue before each call; emptying a
// queue that is empty already costs more than looking at it.
void ClearStaleErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

// Keys protected by a passphrase are refused instead of prompted for.
int NoPassphrase(char*, int, int, void*) { return 0; }

// The reason of the oldest error in this thread's OpenSSL queue (the root
// cause); empties the queue.
std::string TakeOpenSslReason() {
  std::string reason;
  unsigned long code = ERR_get_error();
  if (code != 0) {
    const char* text = ERR_reason_error_string(code);
    reason = text != nullptr ? text : "error " + std::to_string(ERR_GET_REASON(code));
  }
  ERR_clear_error();
  return reason;
}

std::string WithReason(std::string text, const std::string& reason) {
  if (!reason.empty()) text += " (OpenSSL: " + reason + ")";
  return text;
}

[[noreturn]] void RaiseSetupError(const std::string& cause) {
  throw EKsTlsError(WithReason("TLS setup failed: " + cause, TakeOpenSslReason()));
}

void RequireReadable(const char* what, const std::string& path) {
  if (::access(path.c_str(), R_OK) == 0) return;
  const int code = errno;
  throw EKsTlsError(std::string("TLS setup failed: cannot read ") + what + " \"" + path + "\": " +
                    std::strerror(code));
}

bool IsIpAddress(const std::string& text) {
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, text.c_str(), address) == 1 || ::inet_pton(AF_INET6, text.c_str(), address) == 1;
}

// poll() on one descriptor until ready or the deadline; false on time-out.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) RaiseSocketError(errno);
  }
}

}  // namespace

TKsTlsSession::TKsTlsSession(const TKsTlsSettings& settings, const std::string& host)
    : caFile_(settings.CaFile), verifyPeer_(settings.VerifyPeer) {
  name_ = settings.ServerName.empty() ? host : settings.ServerName;
  if (name_.size() >= 2 && name_.front() == '[' && name_.back() == ']') name_ = name_.substr(1, name_.size() - 2);
  if (!settings.KeyFile.empty() && settings.CertFile.empty()) {
    throw EKsTlsError("TLS setup failed: keyFile \"" + settings.KeyFile + "\" given without certFile");
  }
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_client_method());
  if (context_ == nullptr) RaiseSetupError("cannot create a TLS context");
  try {
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    SSL_CTX_set_options(context_, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_default_passwd_cb(context_, NoPassphrase);
    LoadTrustedRoots(settings.CaFile);
    if (!settings.CertFile.empty()) LoadOwnCertificate(settings);
    SSL_CTX_set_verify(context_, verifyPeer_ ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  } catch (...) {
    SSL_CTX_free(context_);
    context_ = nullptr;
    throw;
  }
}

void TKsTlsSession::LoadTrustedRoots(const std::string& caFile) {
  if (!caFile.empty()) {
    RequireReadable("caFile", caFile);
    if (SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
      RaiseSetupError("caFile \"" + caFile + "\" holds no usable PEM certificate");
    }
  } else if (SSL_CTX_set_default_verify_paths(context_) != 1) {
    RaiseSetupError("cannot load the system's trusted certificates");
  }
}

void TKsTlsSession::LoadOwnCertificate(const TKsTlsSettings& settings) {
  const std::string& keyFile = settings.KeyFile.empty() ? settings.CertFile : settings.KeyFile;
  RequireReadable("certFile", settings.CertFile);
  RequireReadable("keyFile", keyFile);
  if (SSL_CTX_use_certificate_chain_file(context_, settings.CertFile.c_str()) != 1) {
    RaiseSetupError("certFile \"" + settings.CertFile + "\" holds no usable PEM certificate");
  }
  const bool keyUsed = SSL_CTX_use_PrivateKey_file(context_, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  if (!keyUsed && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
    RaiseSetupError("keyFile \"" + keyFile + "\" holds no usable PEM private key (or it needs a passphrase)");
  }
  if (!keyUsed || SSL_CTX_check_private_key(context_) != 1) {
    RaiseSetupError("keyFile \"" + keyFile + "\" is not the key of certFile \"" + settings.CertFile + "\"");
  }
}

TKsTlsSession::~TKsTlsSession() {
  Close(false);
  SSL_CTX_free(context_);
}

void TKsTlsSession::Open(int fd, std::int32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ERR_clear_error();
  ssl_ = SSL_new(context_);
  BIO* bio = ssl_ != nullptr && SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) RaiseSetupError("cannot create a TLS connection");
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  SSL_set_bio(ssl_, bio, bio);  // ssl_ owns the BIO from here
  const bool address = IsIpAddress(name_);
  if (!address && !name_.empty()) SSL_set_tlsext_host_name(ssl_, name_.c_str());
  if (verifyPeer_) {
    const int named = address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name_.c_str())
                              : SSL_set1_host(ssl_, name_.c_str());
    if (named != 1) RaiseSetupError("cannot verify the name \"" + name_ + "\"");
    if (!address) SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
  SSL_set_connect_state(ssl_);
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_);
    if (rc == 1) return;
    const int sysErrno = errno;
    const int code = SSL_get_error(ssl_, rc);
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) RaiseHandshakeError(code, sysErrno);
    if (!WaitFor(fd, code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
      failed_ = true;
      throw EKsTlsError("TLS handshake timed out after " + std::to_string(timeoutMs) +
                        " ms: the broker did not answer it (is the port a TLS port?)");
    }
  }
}

void TKsTlsSession::RaiseHandshakeError(int code, int sysErrno) {
  failed_ = true;
  const unsigned long first = ERR_peek_error();
  const int reasonCode = ERR_GET_REASON(first);
  const std::string reason = TakeOpenSslReason();
  const long verify = SSL_get_verify_result(ssl_);
  std::string cause;
  if (code == SSL_ERROR_SSL && verifyPeer_ && verify != X509_V_OK) {
    const std::string verifyText = X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      cause = "the broker's certificate is not valid for \"" + name_ + "\": " + verifyText;
    } else {
      cause = "the broker's certificate is not trusted: " + verifyText + " (trusted certificates: " +
              (caFile_.empty() ? std::string("the system's store") : "caFile \"" + caFile_ + "\"") + ")";
    }
  } else if (code == SSL_ERROR_SSL &&
             (reasonCode == SSL_R_WRONG_VERSION_NUMBER || reasonCode == SSL_R_PACKET_LENGTH_TOO_LONG ||
              reasonCode == SSL_R_HTTP_REQUEST || reasonCode == SSL_R_UNKNOWN_PROTOCOL)) {
    cause = "the broker does not speak TLS on this port (a plain STOMP port?)";
  } else if (code == SSL_ERROR_ZERO_RETURN || (code == SSL_ERROR_SYSCALL && sysErrno == 0) ||
             reasonCode == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    cause = "the broker closed the connection";
  } else if (code == SSL_ERROR_SYSCALL) {
    cause = std::strerror(sysErrno);
  } else {
    cause = "the broker refused it";
  }
  throw EKsTlsError(WithReason("TLS handshake failed: " + cause, reason));
}

void TKsTlsSession::RaiseStreamError(const char* what, int code, int sysErrno) {
  failed_ = true;
  if (code == SSL_ERROR_SYSCALL && sysErrno != 0) {
    ERR_clear_error();
    RaiseSocketError(sysErrno);
  }
  throw EKsTlsError(WithReason(std::string("TLS ") + what + " failed", TakeOpenSslReason()));
}

std::size_t TKsTlsSession::Receive(char* dest, std::size_t size, TWait& wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  wait = TWait::None;
  if (ssl_ == nullptr) return 0;
  std::size_t got = 0;
  // Whole records while there is room for one, so nothing stays behind in
  // OpenSSL where poll() cannot see it.
  while (got == 0 || size - got >= kMaxRecord) {
    ClearStaleErrors();
    const int n = SSL_read(ssl_, dest + got, static_cast<int>(std::min<std::size_t>(size - got, INT_MAX)));
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    const int sysErrno = errno;
    const int code = SSL_get_error(ssl_, n);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
      if (got == 0) wait = code == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write;
      return got;
    }
    if (got > 0) {
      // The bytes go up first; the end shows at the next call.
      ERR_clear_error();
      deferred_ = true;
      return got;
    }
    deferred_ = false;
    if (code == SSL_ERROR_ZERO_RETURN || (code == SSL_ERROR_SYSCALL && sysErrno == 0)) return 0;
    RaiseStreamError("read", code, sysErrno);
  }
  return got;
}

std::size_t TKsTlsSession::Send(const char* src, std::size_t size, TWait& wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  wait = TWait::None;
  if (ssl_ == nullptr) RaiseSocketError(ENOTCONN);
  ClearStaleErrors();
  const int n = SSL_write(ssl_, src, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (n > 0) return static_cast<std::size_t>(n);
  const int sysErrno = errno;
  const int code = SSL_get_error(ssl_, n);
  if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) {
    wait = code == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write;
    return 0;
  }
  if (code == SSL_ERROR_SYSCALL && sysErrno == 0) RaiseSocketError(EPIPE);
  RaiseStreamError("write", code, sysErrno);
}

bool TKsTlsSession::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return deferred_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0);
}

void TKsTlsSession::Close(bool notifyPeer) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ssl_ == nullptr) return;
  if (notifyPeer && !failed_ && SSL_is_init_finished(ssl_)) {
    // One close_notify, without waiting for the peer's.
    SSL_shutdown(ssl_);
  }
  ERR_clear_error();
  SSL_free(ssl_);
  ssl_ = nullptr;
}

}  // namespace ks
