// KsJMSConnectionFactory: TKsJMSConnectionFactory, the entry point of the
// messaging layer. CreateConnection builds a protocol client with its TCP
// transport, checks the URL's protocol ("stomp" only), passes credentials,
// address, client id and time-outs down, and answers a new, unstarted
// connection. Nothing touches the network until the connection's Start.
//
// Errors: EConfigurationException "BrokerURL not set." for an empty URL;
// Exception "Unsupported Protocol!" for any protocol other than "stomp";
// EIllegalArgumentException for a URL parameter whose value cannot be used.
//
// Ownership: shared (IConnectionFactory); every connection it makes shares
// the factory's parsed URL object.
// Threads: configure and use from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

class IURI;

class TKsJMSConnectionFactory : public IConnectionFactory {
 public:
  TKsJMSConnectionFactory(const std::string& userName, const std::string& password, const std::string& brokerURL);

  std::shared_ptr<IConnection> CreateConnection() override;
  std::shared_ptr<IConnection> CreateConnection(const std::string& userName, const std::string& password) override;

  void SetBrokerURL(const std::string& brokerURL);
  // The text the URL was given as; empty when there is none.
  std::string GetBrokerURL() const;
  // A new parsed URL whose empty port is defaulted to "61613".
  static std::shared_ptr<IURI> ParseBrokerURL(const std::string& brokerURL);

  // Settings for every connection made afterwards. A non-empty client id is
  // set on each connection, which then refuses a further SetClientID.
  void SetClientID(const std::string& clientId) { clientId_ = clientId; }
  const std::string& GetClientID() const noexcept { return clientId_; }
  // Milliseconds; -1 leaves the socket's send time-out unchanged.
  void SetSendTimeout(std::int32_t milliseconds) noexcept { sendTimeout_ = milliseconds; }
  std::int32_t GetSendTimeout() const noexcept { return sendTimeout_; }
  // Milliseconds; marks the connect time-out as set.
  void SetConnectTimeout(std::int32_t milliseconds) noexcept {
    connectTimeout_ = milliseconds;
    connectTimeoutSet_ = true;
  }
  std::int32_t GetConnectTimeout() const noexcept { return connectTimeout_; }
  // The largest frame body a connection accepts from the broker (bytes,
  // default 64 MiB); a larger frame is read, dropped and reported, and the
  // connection goes on. The URL's parameter "maxFrameSize" overrides it.
  void SetMaxFrameSize(std::size_t bytes) noexcept { maxFrameSize_ = bytes; }
  std::size_t GetMaxFrameSize() const noexcept { return maxFrameSize_; }

 private:
  // The settings the URL's parameters carry; EIllegalArgumentException for
  // a value that cannot be used.
  std::size_t MaxFrameSizeFor(const IURI& uri) const;

  std::string clientId_;
  std::string password_;
  std::string userName_;
  std::shared_ptr<IURI> brokerURL_;
  std::int32_t sendTimeout_ = -1;
  std::int32_t connectTimeout_ = 0;
  bool connectTimeoutSet_ = false;
  std::size_t maxFrameSize_;
};

}  // namespace ks
