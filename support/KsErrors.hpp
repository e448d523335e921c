// KsErrors: every error class of the library below the messaging interface,
// by layer, so that an application can catch each one by name. All derive
// from ks::Exception (KsException.hpp); the messaging errors
// (EJMSException and its kinds) are declared with the interfaces in
// jms/KsJMSInterfaces.hpp.
//
// Threads: plain exception types; any thread.
#pragma once

#include <string>

#include "KsException.hpp"
#include "KsExport.hpp"

namespace ks {

// ---- Transport (TCP and TLS) ---------------------------------------------

// The transport's errors (TCP and TLS); the kinds below derive from it.
class KS_API EKsSocketError : public Exception {
 public:
  using Exception::Exception;
};

// A read that waited past its time limit.
class KS_API EKsReadTimeout : public EKsSocketError {
 public:
  EKsReadTimeout() : EKsSocketError("Read timed out.") {}
};

// The broker closed the connection.
class KS_API EKsConnClosedGracefully : public EKsSocketError {
 public:
  EKsConnClosedGracefully() : EKsSocketError("Connection Closed Gracefully.") {}
};

// A header block longer than the limit (16 384 bytes).
class KS_API EKsMaxLineLengthExceeded : public EKsSocketError {
 public:
  EKsMaxLineLengthExceeded() : EKsSocketError("Max line length exceeded.") {}
};

// A read or write without a connection.
class KS_API EKsNotConnected : public EKsSocketError {
 public:
  EKsNotConnected() : EKsSocketError("Not Connected") {}
};

// A connect on a connected socket.
class KS_API EKsAlreadyConnected : public EKsSocketError {
 public:
  EKsAlreadyConnected() : EKsSocketError("Already connected.") {}
};

// A connect that did not complete within the connect time-out.
class KS_API EKsConnectTimeout : public EKsSocketError {
 public:
  EKsConnectTimeout() : EKsSocketError("Connect timed out.") {}
};

// A broker address without a host.
class KS_API EKsHostRequired : public EKsSocketError {
 public:
  EKsHostRequired() : EKsSocketError("A host is required.") {}
};

// A broker address without a port.
class KS_API EKsPortRequired : public EKsSocketError {
 public:
  EKsPortRequired() : EKsSocketError("A port is required.") {}
};

// "Socket Error # <code>" CR LF "<text>"; ErrorCode() is the platform error
// number (for a failed host look-up, the resolver's code).
class KS_API EKsSocketErrorCode : public EKsSocketError {
 public:
  // The error for platform error number code, with its text.
  EKsSocketErrorCode(int code, const std::string& text);
  // The platform error number.
  int ErrorCode() const noexcept { return code_; }

 private:
  int code_;
};

// A TLS set-up or handshake failure: an unreadable certificate or key file,
// an untrusted or misnamed broker, a port that does not speak TLS.
class KS_API EKsTlsError : public EKsSocketError {
 public:
  using EKsSocketError::EKsSocketError;
};

// ---- STOMP protocol ------------------------------------------------------

// The STOMP protocol layer's errors; the kinds below derive from it.
class KS_API EKsStompError : public Exception {
 public:
  using Exception::Exception;
};

// The connection to the broker could not be made ready (an invalid port,
// no answer to CONNECT in time).
class KS_API EKsStompClientConnectError : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// No transport adapter is registered.
class KS_API EKsNoCommAdapterInstalled : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// A message property named like a STOMP or broker header ("NAME is a
// reserved property name").
class KS_API EKsReservedProperty : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// A frame to send without a logged-in connection.
class KS_API EKsStompClientNotConnectedError : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// A transaction frame without a transaction id ("Invalid transaction id").
class KS_API EKsStompInvalidTranscationIdError : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// The broker's ERROR frame: its "message" header and body.
class KS_API EKsStompServerErrorMessage : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// A received header block declares a content length that cannot be read:
// negative, not a number, or too large for a 32-bit count with the two bytes
// that follow the body. The frame is refused without reading its body.
class KS_API EKsInvalidContentLength : public EKsStompError {
 public:
  using EKsStompError::EKsStompError;
};

// ---- Broker addresses ----------------------------------------------------

// Declared for callers that map parse errors; the parser never raises it.
class KS_API EURISyntaxException : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace ks
