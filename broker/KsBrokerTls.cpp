#include "broker/KsBrokerTls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "support/KsException.hpp"

namespace ks {

namespace {

constexpr std::size_t kMaxRecord = 16384;

// The oldest reason in this thread's OpenSSL error queue; empties it.
std::string TakeReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return std::string();
  const char* text = ERR_reason_error_string(code);
  return text != nullptr ? text : "error " + std::to_string(ERR_GET_REASON(code));
}

int NoPassphrase(char*, int, int, void*) { return 0; }

// SSL_get_error needs an empty error queue before each call; emptying a
// queue that is empty already costs more than looking at it.
void ClearStaleErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

}  // namespace

TBrokerTlsContext::TBrokerTlsContext(const std::string& certFile, const std::string& keyFile) {
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr) throw Exception("Cannot create a TLS context: " + TakeReason());
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_options(context_, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_default_passwd_cb(context_, NoPassphrase);
  // Many small records (one per frame of a producer) per receive call,
  // rather than two calls per record.
  SSL_CTX_set_read_ahead(context_, 1);
  std::string failure;
  if (SSL_CTX_use_certificate_chain_file(context_, certFile.c_str()) != 1) {
    failure = "Cannot use --CertFile " + certFile + ": " + TakeReason();
  } else if (SSL_CTX_use_PrivateKey_file(context_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    failure = "Cannot use --KeyFile " + keyFile + ": " + TakeReason();
  } else if (SSL_CTX_check_private_key(context_) != 1) {
    failure = "--KeyFile " + keyFile + " is not the key of --CertFile " + certFile + ": " + TakeReason();
  }
  if (!failure.empty()) {
    SSL_CTX_free(context_);
    context_ = nullptr;
    throw Exception(failure);
  }
}

TBrokerTlsContext::~TBrokerTlsContext() { SSL_CTX_free(context_); }

TBrokerTlsStream::TBrokerTlsStream(const TBrokerTlsContext& context, int fd) {
  ssl_ = SSL_new(context.Get());
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd) != 1) {
    failed_ = true;
    error_ = "cannot create a TLS connection: " + TakeReason();
    return;
  }
  SSL_set_accept_state(ssl_);
}

TBrokerTlsStream::~TBrokerTlsStream() { SSL_free(ssl_); }

TBrokerTlsStream::TStatus TBrokerTlsStream::StatusOf(int result) {
  const int sysErrno = errno;
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      return TStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return TStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TStatus::Closed;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      if (sysErrno == 0) return TStatus::Closed;
      error_ = std::strerror(sysErrno);
      break;
    default:
      error_ = TakeReason();
      break;
  }
  failed_ = true;
  return TStatus::Failed;
}

TBrokerTlsStream::TStatus TBrokerTlsStream::Handshake() {
  if (failed_) return TStatus::Failed;
  if (ready_) return TStatus::Done;
  ERR_clear_error();
  const int rc = SSL_do_handshake(ssl_);
  if (rc == 1) {
    ready_ = true;
    return TStatus::Done;
  }
  return StatusOf(rc);
}

std::size_t TBrokerTlsStream::Read(char* to, std::size_t size, TStatus& status) {
  std::size_t got = 0;
  status = failed_ ? TStatus::Failed : TStatus::Done;
  while (!failed_ && (got == 0 || size - got >= kMaxRecord)) {
    ClearStaleErrors();
    const int n = SSL_read(ssl_, to + got, static_cast<int>(std::min<std::size_t>(size - got, INT_MAX)));
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    status = StatusOf(n);
    // Bytes read before the end are handed up; the end comes again with
    // the next event (a closed socket stays readable).
    if (got > 0 && status != TStatus::Failed) status = TStatus::Done;
    break;
  }
  return got;
}

std::size_t TBrokerTlsStream::Write(const char* data, std::size_t size, TStatus& status) {
  if (failed_) {
    status = TStatus::Failed;
    return 0;
  }
  ClearStaleErrors();
  const int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (n > 0) {
    status = TStatus::Done;
    return static_cast<std::size_t>(n);
  }
  status = StatusOf(n);
  return 0;
}

bool TBrokerTlsStream::Pending() const { return ssl_ != nullptr && !failed_ && SSL_has_pending(ssl_) == 1; }

void TBrokerTlsStream::Shutdown() {
  if (failed_ || !ready_) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace ks
