// KsJMSConnectionFactory: TKsJMSConnectionFactory, the entry point of the
// messaging layer. CreateConnection builds a protocol client with the
// transport adapter for the URL's protocol ("stomp": TCP, default port
// 61613; "stomp+ssl": TLS, default port 61612), passes credentials, address,
// client id, time-outs and TLS options down, and answers a new, unstarted
// connection. Nothing touches the network until the connection's Start.
//
// A failover URL ("failover:(URI1,URI2,...)?PARAMS", see KsURI.hpp) makes a
// connection that reconnects (KsFailover.hpp): each address keeps its own
// TLS parameters, "connectTimeout" and "vhost"; every other parameter goes
// after the list and applies to the whole connection (one inside an
// address raises EIllegalArgumentException saying so), the failover ones
// among them: "initialReconnectDelay" (ms, 100), "maxReconnectDelay" (ms,
// 30000), "backOffMultiplier" (2.0), "maxReconnectAttempts" (-1: never give
// up; 0: no reconnect), "startupMaxReconnectAttempts" (0; -1: no limit),
// "randomize" (false) and "reconnectTimeout" (ms, -1: as long as failover
// tries).
//
// Errors: EConfigurationException "BrokerURL not set." for an empty URL;
// Exception "Unsupported Protocol!" for any other protocol;
// EIllegalArgumentException for a URL parameter whose value cannot be used
// (an unknown "dialect" names the accepted ones), for a setter's value that
// cannot be used, and for a parameter name that no connection understands
// ("Unknown URI parameter", with the names that are known; names match
// without regard to case).
//
// Ownership: shared (IConnectionFactory); every connection it makes shares
// the factory's parsed URL object.
// Threads: configure and use from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "../stomp/KsSSLOptions.hpp"
#include "../support/KsExport.hpp"
#include "../support/KsLog.hpp"
#include "KsDialect.hpp"
#include "KsJMSInterfaces.hpp"

namespace ks {

class IURI;
class TKsJMSClient;
class TKsJMSConnection;

// The connection factory. The broker URL names the broker and may carry
// settings as parameters after "?", joined with "&"
// ("stomp://host:61613?dialect=activemq&receiptTimeout=5000"); a parameter
// wins over the factory's setter of the same setting. Besides those named
// below: "logLevel" (trace, debug, info, warn, error or fatal), the
// threshold of the connection's log lines (see TLogFactory::SetLevel).
class KS_API TKsJMSConnectionFactory : public IConnectionFactory {
 public:
  // A factory for brokerURL whose connections log in as userName with
  // password (both may be empty). Raises EIllegalArgumentException "Invalid
  // broker URI: ..." for a URL that cannot be parsed; an empty URL is refused
  // by CreateConnection.
  TKsJMSConnectionFactory(const std::string& userName, const std::string& password, const std::string& brokerURL);

  // A new, unstarted connection (see IConnectionFactory). Raises
  // EConfigurationException "BrokerURL not set.", Exception "Unsupported
  // Protocol!" for a scheme other than stomp and stomp+ssl, and
  // EIllegalArgumentException for a URL parameter whose value cannot be
  // used.
  std::shared_ptr<IConnection> CreateConnection() override;
  // The same with this user name and password.
  std::shared_ptr<IConnection> CreateConnection(const std::string& userName, const std::string& password) override;

  // Replaces the broker URL (parsed at once, as by the constructor).
  void SetBrokerURL(const std::string& brokerURL);
  // The text the URL was given as; empty when there is none.
  std::string GetBrokerURL() const;
  // A new parsed URL whose empty port is defaulted to "61612" for
  // "stomp+ssl" and to "61613" otherwise.
  static std::shared_ptr<IURI> ParseBrokerURL(const std::string& brokerURL);

  // Settings for every connection made afterwards. A non-empty client id is
  // set on each connection, which then refuses a further SetClientID.
  void SetClientID(const std::string& clientId) { clientId_ = clientId; }
  // The client id set on every connection; empty for none.
  const std::string& GetClientID() const noexcept { return clientId_; }
  // How long one write of a frame may block (milliseconds; default -1:
  // without limit, the socket's send time-out is left unchanged). A send
  // that runs out of it raises EConnectionFailedException and the
  // connection is lost. URL parameter "sendTimeout".
  void SetSendTimeout(std::int32_t milliseconds) noexcept { sendTimeout_ = milliseconds; }
  // The send time-out in milliseconds.
  std::int32_t GetSendTimeout() const noexcept { return sendTimeout_; }
  // Milliseconds; marks the connect time-out as set. It bounds the TCP
  // connect and the wait for the broker's answer to CONNECT (30 s when not
  // set); URL parameter "connectTimeout".
  void SetConnectTimeout(std::int32_t milliseconds) noexcept {
    connectTimeout_ = milliseconds;
    connectTimeoutSet_ = true;
  }
  // The connect time-out in milliseconds (0 when not set).
  std::int32_t GetConnectTimeout() const noexcept { return connectTimeout_; }
  // The largest frame body a connection accepts from the broker (bytes,
  // default 64 MiB); a larger frame is read, dropped and reported, and the
  // connection goes on. The URL's parameter "maxFrameSize" overrides it.
  void SetMaxFrameSize(std::size_t bytes) noexcept { maxFrameSize_ = bytes; }
  // The largest frame body in bytes.
  std::size_t GetMaxFrameSize() const noexcept { return maxFrameSize_; }
  // The largest header block a connection accepts from the broker (bytes,
  // default 64 KiB); a frame with a larger one is dropped as it arrives and
  // reported, and the connection goes on. URL parameter "maxHeaderSize".
  void SetMaxHeaderSize(std::size_t bytes) noexcept { maxHeaderSize_ = bytes; }
  // The largest header block in bytes.
  std::size_t GetMaxHeaderSize() const noexcept { return maxHeaderSize_; }
  // How long Close, Commit, Rollback and confirmed sends wait for the
  // broker's RECEIPT (milliseconds, default 10 000); URL parameter
  // "receiptTimeout".
  void SetReceiptTimeout(std::int32_t milliseconds) noexcept { receiptTimeout_ = milliseconds; }
  // The receipt time-out in milliseconds.
  std::int32_t GetReceiptTimeout() const noexcept { return receiptTimeout_; }
  // Confirmed sends: every Send waits for the broker's RECEIPT (default
  // off); URL parameter "syncSend" (true or false).
  void SetSyncSend(bool value) noexcept { syncSend_ = value; }
  // Whether sends are confirmed.
  bool GetSyncSend() const noexcept { return syncSend_; }
  // How destinations and broker extensions are written (KsDialect.hpp;
  // default Jms); URL parameter "dialect" ("jms", "activemq" or
  // "rabbitmq").
  void SetDialect(TKsDialect dialect) noexcept { dialect_ = dialect; }
  // The dialect.
  TKsDialect GetDialect() const noexcept { return dialect_; }
  // Batched sending (default off): a connection gathers its sends in a
  // buffer of up to 64 KiB and writes them together when it is full, before
  // any other frame, on Commit, Rollback, Acknowledge, Receive and Close,
  // and at the latest the batch delay (milliseconds, default 1) after the
  // first unwritten send. A failed batched write reaches the exception
  // listener and is raised by the next call. URL parameters "batchSend"
  // (true or false) and "batchDelay" (0 to 60 000).
  void SetBatchSend(bool value) noexcept { batchSend_ = value; }
  // Whether sends are batched.
  bool GetBatchSend() const noexcept { return batchSend_; }
  // The longest a batched send waits to be written, in milliseconds.
  void SetBatchDelay(std::int32_t milliseconds) noexcept { batchDelay_ = milliseconds; }
  // The batch delay in milliseconds.
  std::int32_t GetBatchDelay() const noexcept { return batchDelay_; }

  // Protocol versions and heart-beats (see the README's table):
  // - AcceptVersion: the versions CONNECT offers, a comma list of "1.0",
  //   "1.1" and "1.2" (EIllegalArgumentException otherwise); URL parameter
  //   "acceptVersion". Unset, the dialect decides: "1.0" for jms (the
  //   CONNECT frame of STOMP 1.0), "1.0,1.1,1.2" for activemq and rabbitmq.
  // - HeartBeat: milliseconds between the client's beats and between the
  //   broker's that CONNECT asks for, when it offers more than 1.0 (default
  //   10 000 each; 0 for none); URL parameter "heartBeat" ("10000,10000").
  // - HeartBeatGrace: how many of the broker's intervals may pass in
  //   silence before the connection counts as lost (at least 2, default
  //   2.5); URL parameter "heartBeatGrace".
  // - VirtualHost: CONNECT's "host" when it offers more than 1.0; unset, the
  //   URL's host name, and "/" under the rabbitmq dialect; URL parameter
  //   "vhost".
  void SetAcceptVersion(const std::string& versions);
  // The versions offered (empty: the dialect's default).
  std::string GetAcceptVersion() const;
  // The client's and the broker's heart-beat intervals, in milliseconds.
  void SetHeartBeat(std::uint32_t clientMs, std::uint32_t brokerMs) noexcept {
    heartBeatSend_ = clientMs;
    heartBeatReceive_ = brokerMs;
  }
  // The grace factor; EIllegalArgumentException outside 2 to 1000.
  void SetHeartBeatGrace(double factor);
  // The grace factor.
  double GetHeartBeatGrace() const noexcept { return heartBeatGrace_; }
  // CONNECT's "host" (empty: the default above).
  void SetVirtualHost(const std::string& host) { virtualHost_ = host; }
  // The virtual host (empty: the default).
  const std::string& GetVirtualHost() const noexcept { return virtualHost_; }

  // TLS options for "stomp+ssl" connections (see KsSSLOptions.hpp); each
  // connection's adapter gets a copy. The URL's parameters override them:
  // "caFile", "certFile", "keyFile", "serverName" and "verifyPeer" (true or
  // false).
  void SetSSLOptions(const TKsSSLOptions& options) { sslOptions_ = options; }
  // The TLS options.
  const TKsSSLOptions& GetSSLOptions() const noexcept { return sslOptions_; }

 private:
  // The settings the URL's parameters carry ("maxFrameSize",
  // "maxHeaderSize", "receiptTimeout", "sendTimeout", "syncSend",
  // "connectTimeout", "dialect", "batchSend", "batchDelay" and the TLS
  // options) over the factory's own; EIllegalArgumentException for a value
  // that cannot be used or a name that is not known.
  struct TSettings {
    std::size_t maxFrameSize;
    std::int32_t receiptTimeout;
    bool syncSend;
    bool connectTimeoutSet;
    std::int32_t connectTimeout;
    TKsDialect dialect;
    bool batchSend;
    std::int32_t batchDelay;
    TKsSSLOptions ssl;
    std::string acceptVersion;  // empty: the dialect's default
    std::uint32_t heartBeatSend;
    std::uint32_t heartBeatReceive;
    double heartBeatGrace;
    std::string virtualHost;    // empty: the dialect's default
    bool logLevelSet;
    TLogLevel logLevel;
    std::int32_t sendTimeout;
    std::size_t maxHeaderSize;
  };
  // failoverList: params follow a failover URI's list (the failover
  // parameters are allowed there only).
  TSettings SettingsFor(const std::string& params, bool failoverList = false) const;
  // A client whose adapter serves protocol; Exception "Unsupported
  // Protocol!" when no registered adapter does.
  static std::unique_ptr<TKsJMSClient> NewClient(const std::string& protocol);
  void ConfigureClient(TKsJMSClient& client, const TSettings& settings, const std::string& protocol,
                       const std::shared_ptr<IURI>& brokerURL, const std::string& userName,
                       const std::string& password) const;
  // The connection around a configured client.
  std::shared_ptr<TKsJMSConnection> WrapClient(std::unique_ptr<TKsJMSClient> client, const TSettings& settings) const;
  // CreateConnection for a failover URI (see the class comment).
  std::shared_ptr<IConnection> CreateFailoverConnection(const std::string& userName, const std::string& password);

  std::string clientId_;
  std::string password_;
  std::string userName_;
  std::shared_ptr<IURI> brokerURL_;
  std::int32_t sendTimeout_ = -1;
  std::int32_t connectTimeout_ = 0;
  bool connectTimeoutSet_ = false;
  std::size_t maxFrameSize_;
  std::size_t maxHeaderSize_;
  std::int32_t receiptTimeout_ = 10000;
  bool syncSend_ = false;
  TKsDialect dialect_ = TKsDialect::Jms;
  bool batchSend_ = false;
  std::int32_t batchDelay_ = 1;
  TKsSSLOptions sslOptions_;
  std::string acceptVersion_;  // empty: the dialect's default
  std::uint32_t heartBeatSend_ = 10000;
  std::uint32_t heartBeatReceive_ = 10000;
  double heartBeatGrace_ = 2.5;
  std::string virtualHost_;  // empty: the dialect's default
};

}  // namespace ks
