#include "jms/KsJMSConnectionFactory.hpp"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsFailover.hpp"
#include "jms/KsURI.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "stomp/KsCommAdapterSSL.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr const char* kDefaultPort = "61613";

}  // namespace

TKsJMSConnectionFactory::TKsJMSConnectionFactory(const std::string& userName, const std::string& password,
                                                 const std::string& brokerURL)
    : password_(password),
      userName_(userName),
      maxFrameSize_(kDefaultMaxFrameSize),
      maxHeaderSize_(kDefaultMaxHeaderSize) {
  SetBrokerURL(brokerURL);
}

void TKsJMSConnectionFactory::SetBrokerURL(const std::string& brokerURL) { brokerURL_ = ParseBrokerURL(brokerURL); }

std::string TKsJMSConnectionFactory::GetBrokerURL() const { return brokerURL_ ? brokerURL_->GetURI() : std::string(); }

std::shared_ptr<IURI> TKsJMSConnectionFactory::ParseBrokerURL(const std::string& brokerURL) {
  try {
    auto uri = std::make_shared<TKsURI>(brokerURL);
    if (uri->GetPort().empty()) uri->SetPort(uri->GetProtocol() == "stomp+ssl" ? kTlsDefaultPort : kDefaultPort);
    return uri;
  } catch (const EURISyntaxException&) {
    throw EIllegalArgumentException("Invalid broker URI: " + brokerURL);
  }
}

namespace {

// Where a parameter text stands: after a plain address, after the list of a
// failover URI, or inside one broker's address of that list.
enum class TParameterPlace : std::uint8_t { Plain, FailoverList, FailoverBroker };

// Who a parameter is for: the connection, one broker (also given for all
// after a failover list), or failover (after a failover list only).
enum class TParameterScope : std::uint8_t { Connection, Broker, Failover };

// Every URI parameter a connection understands, one line each, and only
// these: SettingsFor refuses any other name (matched without regard to
// case), so that a misspelt one is never ignored.
struct TURIParameter {
  std::string_view name;
  TParameterScope scope;
};
constexpr TURIParameter kURIParameters[] = {
    {"acceptVersion", TParameterScope::Connection},
    {"backOffMultiplier", TParameterScope::Failover},
    {"batchDelay", TParameterScope::Connection},
    {"batchSend", TParameterScope::Connection},
    {"caFile", TParameterScope::Broker},
    {"certFile", TParameterScope::Broker},
    {"connectTimeout", TParameterScope::Broker},
    {"dialect", TParameterScope::Connection},
    {"heartBeat", TParameterScope::Connection},
    {"heartBeatGrace", TParameterScope::Connection},
    {"initialReconnectDelay", TParameterScope::Failover},
    {"keyFile", TParameterScope::Broker},
    {"logLevel", TParameterScope::Connection},
    {"maxFrameSize", TParameterScope::Connection},
    {"maxHeaderSize", TParameterScope::Connection},
    {"maxReconnectAttempts", TParameterScope::Failover},
    {"maxReconnectDelay", TParameterScope::Failover},
    {"randomize", TParameterScope::Failover},
    {"receiptTimeout", TParameterScope::Connection},
    {"reconnectTimeout", TParameterScope::Failover},
    {"sendTimeout", TParameterScope::Connection},
    {"serverName", TParameterScope::Broker},
    {"startupMaxReconnectAttempts", TParameterScope::Failover},
    {"syncSend", TParameterScope::Connection},
    {"verifyPeer", TParameterScope::Broker},
    {"vhost", TParameterScope::Broker},
};

// EIllegalArgumentException for the first item of params ("a=1&b=2", empty
// items skipped) whose name is not in kURIParameters, naming it and the
// known ones, or that is not for place: a failover parameter outside a
// failover URI's list, a parameter of the whole connection inside one
// broker's address.
void CheckURIParameterNames(std::string_view params, TParameterPlace place, std::string_view address = {}) {
  while (!params.empty()) {
    const std::size_t amp = params.find('&');
    const std::string_view item = params.substr(0, amp);
    params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
    if (item.empty()) continue;
    const std::string name(item.substr(0, item.find('=')));
    const TURIParameter* known = nullptr;
    for (const TURIParameter& parameter : kURIParameters) {
      if (SameText(name, parameter.name)) known = &parameter;
    }
    if (known == nullptr) {
      std::string text = "Unknown URI parameter \"" + name + "\"; known parameters: ";
      for (const TURIParameter& parameter : kURIParameters) {
        if (&parameter != &kURIParameters[0]) text += ", ";
        text += parameter.name;
      }
      throw EIllegalArgumentException(text);
    }
    if (place == TParameterPlace::Plain && known->scope == TParameterScope::Failover) {
      throw EIllegalArgumentException("The parameter " + name + " is for failover URLs only, as in failover:(" +
                                      "stomp://host:61613)?" + name + "=...");
    }
    if (place == TParameterPlace::FailoverBroker && known->scope != TParameterScope::Broker) {
      throw EIllegalArgumentException("The parameter " + name + " of " + std::string(address) +
                                      " belongs to the whole failover connection: give it after the list, as in "
                                      "failover:(...)?" + name + "=...");
    }
  }
}

// A whole number from low to high, or EIllegalArgumentException naming the
// parameter.
std::int64_t NumberParameter(const std::string& name, const std::string& text, std::int64_t low, std::int64_t high,
                             const char* unit) {
  std::int64_t value = 0;
  if (!TryStrToInt64(text, value) || value < low || value > high) {
    throw EIllegalArgumentException("Invalid " + name + " \"" + text + "\": a number of " + unit + " from " +
                                    std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

// true or false (any case), or EIllegalArgumentException naming the
// parameter.
bool BooleanParameter(const std::string& name, const std::string& text) {
  if (SameText(text, "true")) return true;
  if (SameText(text, "false")) return false;
  throw EIllegalArgumentException("Invalid " + name + " \"" + text + "\": true or false");
}

// A version list ("1.0,1.1,1.2"), or EIllegalArgumentException naming what
// gave it.
TKsVersionOffer VersionOfferParameter(const std::string& name, const std::string& text) {
  TKsVersionOffer offer;
  if (!TKsVersionOffer::Parse(text, offer)) {
    throw EIllegalArgumentException("Invalid " + name + " \"" + text +
                                    "\": a comma list of the versions 1.0, 1.1 and 1.2");
  }
  return offer;
}

constexpr double kMinHeartBeatGrace = 2.0;

double GraceParameter(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value >= kMinHeartBeatGrace) || value > 1000.0) {
    throw EIllegalArgumentException("Invalid " + name + " \"" + text + "\": a factor from 2 to 1000");
  }
  return value;
}

// The TLS options among params over ssl.
void ApplyTlsParameters(std::string_view params, TKsSSLOptions& ssl) {
  std::string text;
  if (FindURIParameter(params, "caFile", text)) ssl.RootCertificateFile = text;
  if (FindURIParameter(params, "certFile", text)) ssl.CertificateFile = text;
  if (FindURIParameter(params, "keyFile", text)) ssl.KeyFile = text;
  if (FindURIParameter(params, "serverName", text)) ssl.ServerName = text;
  if (FindURIParameter(params, "verifyPeer", text)) ssl.VerifyPeer = BooleanParameter("verifyPeer", text);
}

std::int32_t ConnectTimeoutParameter(const std::string& text) {
  return static_cast<std::int32_t>(
      NumberParameter("connectTimeout", text, 1, std::numeric_limits<std::int32_t>::max(), "milliseconds"));
}

// The failover parameters of a failover URI's outer parameter text.
TKsFailoverOptions FailoverOptionsFor(const std::string& params) {
  TKsFailoverOptions options;
  std::string text;
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  if (FindURIParameter(params, "initialReconnectDelay", text)) {
    options.backOff.initial =
        std::chrono::milliseconds(NumberParameter("initialReconnectDelay", text, 0, kInt32Max, "milliseconds"));
  }
  if (FindURIParameter(params, "maxReconnectDelay", text)) {
    options.backOff.maximum =
        std::chrono::milliseconds(NumberParameter("maxReconnectDelay", text, 0, kInt32Max, "milliseconds"));
  }
  if (options.backOff.maximum < options.backOff.initial) {
    throw EIllegalArgumentException("Invalid maxReconnectDelay " + std::to_string(options.backOff.maximum.count()) +
                                    ": below initialReconnectDelay " +
                                    std::to_string(options.backOff.initial.count()));
  }
  if (FindURIParameter(params, "backOffMultiplier", text)) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(value >= 1.0) || value > 1000.0) {
      throw EIllegalArgumentException("Invalid backOffMultiplier \"" + text + "\": a factor from 1 to 1000");
    }
    options.backOff.multiplier = value;
  }
  if (FindURIParameter(params, "maxReconnectAttempts", text)) {
    options.maxReconnectAttempts =
        static_cast<std::int32_t>(NumberParameter("maxReconnectAttempts", text, -1, kInt32Max, "attempts"));
  }
  if (FindURIParameter(params, "startupMaxReconnectAttempts", text)) {
    options.startupMaxReconnectAttempts =
        static_cast<std::int32_t>(NumberParameter("startupMaxReconnectAttempts", text, -1, kInt32Max, "attempts"));
    if (options.startupMaxReconnectAttempts < 0) options.startupMaxReconnectAttempts = kInt32Max;
  }
  if (FindURIParameter(params, "randomize", text)) options.randomize = BooleanParameter("randomize", text);
  if (FindURIParameter(params, "reconnectTimeout", text)) {
    options.reconnectTimeout =
        static_cast<std::int32_t>(NumberParameter("reconnectTimeout", text, -1, kInt32Max, "milliseconds"));
  }
  return options;
}

}  // namespace

void TKsJMSConnectionFactory::SetAcceptVersion(const std::string& versions) {
  if (!versions.empty()) VersionOfferParameter("acceptVersion", versions);
  acceptVersion_ = versions;
}

std::string TKsJMSConnectionFactory::GetAcceptVersion() const { return acceptVersion_; }

void TKsJMSConnectionFactory::SetHeartBeatGrace(double factor) {
  if (!(factor >= kMinHeartBeatGrace) || factor > 1000.0) {
    throw EIllegalArgumentException("Invalid heartBeatGrace " + std::to_string(factor) + ": a factor from 2 to 1000");
  }
  heartBeatGrace_ = factor;
}

TKsJMSConnectionFactory::TSettings TKsJMSConnectionFactory::SettingsFor(const std::string& params,
                                                                       bool failoverList) const {
  TSettings settings{maxFrameSize_,  receiptTimeout_, syncSend_,       connectTimeoutSet_, connectTimeout_,
                     dialect_,       batchSend_,      batchDelay_,     sslOptions_,        acceptVersion_,
                     heartBeatSend_, heartBeatReceive_, heartBeatGrace_, virtualHost_,      false,
                     LOG_INFO,       sendTimeout_,    maxHeaderSize_};
  CheckURIParameterNames(params, failoverList ? TParameterPlace::FailoverList : TParameterPlace::Plain);
  std::string text;
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  if (FindURIParameter(params, "maxFrameSize", text)) {
    settings.maxFrameSize = static_cast<std::size_t>(NumberParameter("maxFrameSize", text, 1, kInt32Max - 2, "bytes"));
  }
  if (FindURIParameter(params, "maxHeaderSize", text)) {
    settings.maxHeaderSize =
        static_cast<std::size_t>(NumberParameter("maxHeaderSize", text, 1, kInt32Max - 2, "bytes"));
  }
  if (FindURIParameter(params, "sendTimeout", text)) {
    settings.sendTimeout = static_cast<std::int32_t>(NumberParameter("sendTimeout", text, 1, kInt32Max, "milliseconds"));
  }
  if (FindURIParameter(params, "receiptTimeout", text)) {
    settings.receiptTimeout =
        static_cast<std::int32_t>(NumberParameter("receiptTimeout", text, 1, kInt32Max, "milliseconds"));
  }
  if (FindURIParameter(params, "connectTimeout", text)) {
    settings.connectTimeout = ConnectTimeoutParameter(text);
    settings.connectTimeoutSet = true;
  }
  if (FindURIParameter(params, "dialect", text)) settings.dialect = ParseDialect(text);
  if (FindURIParameter(params, "syncSend", text)) settings.syncSend = BooleanParameter("syncSend", text);
  if (FindURIParameter(params, "batchSend", text)) settings.batchSend = BooleanParameter("batchSend", text);
  if (FindURIParameter(params, "batchDelay", text)) {
    settings.batchDelay = static_cast<std::int32_t>(NumberParameter("batchDelay", text, 0, 60000, "milliseconds"));
  }
  ApplyTlsParameters(params, settings.ssl);
  if (FindURIParameter(params, "acceptVersion", text)) {
    VersionOfferParameter("acceptVersion", text);
    settings.acceptVersion = text;
  }
  if (FindURIParameter(params, "heartBeat", text)) {
    if (!ParseHeartBeat(text, settings.heartBeatSend, settings.heartBeatReceive)) {
      throw EIllegalArgumentException("Invalid heartBeat \"" + text +
                                      "\": two numbers of milliseconds, the client's and the broker's (\"10000,10000\")");
    }
  }
  if (FindURIParameter(params, "heartBeatGrace", text)) settings.heartBeatGrace = GraceParameter("heartBeatGrace", text);
  if (FindURIParameter(params, "vhost", text)) settings.virtualHost = text;
  if (FindURIParameter(params, "logLevel", text)) {
    if (!LogLevelFromName(text, settings.logLevel)) {
      throw EIllegalArgumentException("Invalid logLevel \"" + text + "\": trace, debug, info, warn, error or fatal");
    }
    settings.logLevelSet = true;
  }
  return settings;
}

std::shared_ptr<IConnection> TKsJMSConnectionFactory::CreateConnection() {
  return CreateConnection(userName_, password_);
}

std::shared_ptr<IConnection> TKsJMSConnectionFactory::CreateConnection(const std::string& userName,
                                                                       const std::string& password) {
  if (GetBrokerURL().empty()) throw EConfigurationException("BrokerURL not set.");
  if (IsFailoverURI(GetBrokerURL())) return CreateFailoverConnection(userName, password);
  const std::string protocol = brokerURL_->GetProtocol();
  auto client = NewClient(protocol);
  const TSettings settings = SettingsFor(brokerURL_->GetParams());
  ConfigureClient(*client, settings, protocol, brokerURL_, userName, password);
  return WrapClient(std::move(client), settings);
}

std::shared_ptr<TKsJMSConnection> TKsJMSConnectionFactory::WrapClient(std::unique_ptr<TKsJMSClient> client,
                                                                      const TSettings& settings) const {
  TKsJMSClient* rawClient = client.get();
  auto connection = TKsJMSConnection::Create(std::move(client));
  connection->SetConnectTimeout(settings.connectTimeoutSet ? settings.connectTimeout : connectTimeout_);
  connection->SetSendTimeout(settings.sendTimeout);
  connection->SetReceiptTimeout(settings.receiptTimeout);
  connection->SetSyncSend(settings.syncSend);
  if (settings.batchSend) connection->SetBatchSend(true, settings.batchDelay);
  rawClient->SetOwningConnection(connection.get());
  if (!clientId_.empty()) connection->FactorySetClientID(clientId_);
  return connection;
}

std::shared_ptr<IConnection> TKsJMSConnectionFactory::CreateFailoverConnection(const std::string& userName,
                                                                               const std::string& password) {
  const std::string text = GetBrokerURL();
  std::vector<std::string> addresses;
  std::string params;
  if (!SplitFailoverURI(text, addresses, params)) throw EIllegalArgumentException("Invalid broker URI: " + text);
  const TSettings settings = SettingsFor(params, true);
  const TKsFailoverOptions options = FailoverOptionsFor(params);
  std::vector<TKsLinkTarget> targets;
  bool anyTls = false;
  for (const std::string& address : addresses) {
    TKsLinkTarget target;
    target.name = address;
    target.uri = ParseBrokerURL(address);
    const std::string protocol = target.uri->GetProtocol();
    if (protocol != "stomp" && protocol != "stomp+ssl") throw Exception("Unsupported Protocol!");
    anyTls = anyTls || protocol == "stomp+ssl";
    // A broker's own address carries only what concerns that broker.
    const std::string own = target.uri->GetParams();
    CheckURIParameterNames(own, TParameterPlace::FailoverBroker, address);
    target.ssl = settings.ssl;
    ApplyTlsParameters(own, target.ssl);
    std::string value;
    target.connectTimeout = settings.connectTimeoutSet ? settings.connectTimeout : 0;
    if (FindURIParameter(own, "connectTimeout", value)) target.connectTimeout = ConnectTimeoutParameter(value);
    target.virtualHost = FindURIParameter(own, "vhost", value)              ? value
                         : !settings.virtualHost.empty()                    ? settings.virtualHost
                         : settings.dialect == TKsDialect::RabbitMQ         ? std::string("/")
                                                                            : target.uri->GetHost();
    targets.push_back(std::move(target));
  }
  // One adapter serves every broker: the TLS adapter when any needs TLS
  // (it speaks plain TCP to the others).
  const std::string protocol = anyTls ? "stomp+ssl" : "stomp";
  auto client = NewClient(protocol);
  ConfigureClient(*client, settings, protocol, targets.front().uri, userName, password);
  auto connection = WrapClient(std::move(client), settings);
  connection->EnableFailover(std::move(targets), options);
  return connection;
}

std::unique_ptr<TKsJMSClient> TKsJMSConnectionFactory::NewClient(const std::string& protocol) {
  RegisterTlsAdapter();
  auto client = std::make_unique<TKsJMSClient>();
  IStompCommAdapter* adapter = client->GetAdapter();
  if (adapter != nullptr && !adapter->SupportsProtocol(protocol)) {
    // Another registered adapter may serve the scheme (the TLS adapter
    // "stomp+ssl").
    if (auto other = CreateAdapterForProtocol(protocol)) {
      client->SetAdapter(std::move(other));
      adapter = client->GetAdapter();
    }
  }
  if (adapter == nullptr || !adapter->SupportsProtocol(protocol)) {
    throw Exception("Unsupported Protocol!");
  }
  return client;
}

void TKsJMSConnectionFactory::ConfigureClient(TKsJMSClient& client, const TSettings& settings,
                                              const std::string& protocol, const std::shared_ptr<IURI>& brokerURL,
                                              const std::string& userName, const std::string& password) const {
  IStompCommAdapter* adapter = client.GetAdapter();
  if (settings.connectTimeoutSet) adapter->SetConnectTimeout(settings.connectTimeout);
  adapter->SetSSLOptions(std::make_unique<TKsSSLOptions>(settings.ssl));
  if (auto* own = dynamic_cast<TKsCommAdapter*>(adapter)) {
    own->SetMaxFrameSize(settings.maxFrameSize);
    own->SetMaxHeaderSize(settings.maxHeaderSize);
    if (settings.logLevelSet && own->GetLogger()) own->GetLogger()->SetLevel(settings.logLevel);
  }
  if (settings.logLevelSet && client.GetLogger()) client.GetLogger()->SetLevel(settings.logLevel);
  client.SetDialect(settings.dialect);
  // The dialects made for ActiveMQ and RabbitMQ negotiate the newest
  // version; the jms dialect keeps the CONNECT of STOMP 1.0.
  client.SetVersionOffer(!settings.acceptVersion.empty()       ? VersionOfferParameter("acceptVersion", settings.acceptVersion)
                         : settings.dialect == TKsDialect::Jms ? TKsVersionOffer()
                                                               : TKsVersionOffer::All());
  client.SetHeartBeat(settings.heartBeatSend, settings.heartBeatReceive, settings.heartBeatGrace);
  client.SetVirtualHost(!settings.virtualHost.empty()               ? settings.virtualHost
                        : settings.dialect == TKsDialect::RabbitMQ ? std::string("/")
                                                                   : brokerURL->GetHost());
  client.SetClientID(clientId_);
  client.SetLogin(userName);
  client.SetPasscode(password);
  client.SetURI(brokerURL);
  if (const auto uri = client.GetURI()) {
    if (!brokerURL->GetPort().empty()) {
      uri->SetPort(brokerURL->GetPort());
    } else if (protocol == "stomp") {
      uri->SetPort(kDefaultPort);
    } else if (protocol == "stomp+ssl") {
      uri->SetPort(kTlsDefaultPort);
    }
  }
}

}  // namespace ks
