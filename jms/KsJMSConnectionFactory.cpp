#include "jms/KsJMSConnectionFactory.hpp"

#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
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

// Every URI parameter a connection understands, one line each, and only
// these: SettingsFor refuses any other name (matched without regard to
// case), so that a misspelt one is never ignored.
constexpr std::string_view kURIParameters[] = {
    "acceptVersion",
    "batchDelay",
    "batchSend",
    "caFile",
    "certFile",
    "connectTimeout",
    "dialect",
    "heartBeat",
    "heartBeatGrace",
    "keyFile",
    "logLevel",
    "maxFrameSize",
    "maxHeaderSize",
    "receiptTimeout",
    "sendTimeout",
    "serverName",
    "syncSend",
    "verifyPeer",
    "vhost",
};

// EIllegalArgumentException for the first item of params ("a=1&b=2", empty
// items skipped) whose name is not in kURIParameters, naming it and them.
void CheckURIParameterNames(std::string_view params) {
  while (!params.empty()) {
    const std::size_t amp = params.find('&');
    const std::string_view item = params.substr(0, amp);
    params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
    if (item.empty()) continue;
    const std::string_view name = item.substr(0, item.find('='));
    bool known = false;
    for (std::string_view parameter : kURIParameters) known = known || SameText(name, parameter);
    if (known) continue;
    std::string text = "Unknown URI parameter \"" + std::string(name) + "\"; known parameters: ";
    for (std::string_view parameter : kURIParameters) {
      if (parameter != kURIParameters[0]) text += ", ";
      text += parameter;
    }
    throw EIllegalArgumentException(text);
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

TKsJMSConnectionFactory::TSettings TKsJMSConnectionFactory::SettingsFor(const IURI& uri) const {
  TSettings settings{maxFrameSize_,  receiptTimeout_, syncSend_,       connectTimeoutSet_, connectTimeout_,
                     dialect_,       batchSend_,      batchDelay_,     sslOptions_,        acceptVersion_,
                     heartBeatSend_, heartBeatReceive_, heartBeatGrace_, virtualHost_,      false,
                     LOG_INFO,       sendTimeout_,    maxHeaderSize_};
  const std::string params = uri.GetParams();
  CheckURIParameterNames(params);
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
    settings.connectTimeout =
        static_cast<std::int32_t>(NumberParameter("connectTimeout", text, 1, kInt32Max, "milliseconds"));
    settings.connectTimeoutSet = true;
  }
  if (FindURIParameter(params, "dialect", text)) settings.dialect = ParseDialect(text);
  if (FindURIParameter(params, "syncSend", text)) settings.syncSend = BooleanParameter("syncSend", text);
  if (FindURIParameter(params, "batchSend", text)) settings.batchSend = BooleanParameter("batchSend", text);
  if (FindURIParameter(params, "batchDelay", text)) {
    settings.batchDelay = static_cast<std::int32_t>(NumberParameter("batchDelay", text, 0, 60000, "milliseconds"));
  }
  if (FindURIParameter(params, "caFile", text)) settings.ssl.RootCertificateFile = text;
  if (FindURIParameter(params, "certFile", text)) settings.ssl.CertificateFile = text;
  if (FindURIParameter(params, "keyFile", text)) settings.ssl.KeyFile = text;
  if (FindURIParameter(params, "serverName", text)) settings.ssl.ServerName = text;
  if (FindURIParameter(params, "verifyPeer", text)) settings.ssl.VerifyPeer = BooleanParameter("verifyPeer", text);
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
  const std::string protocol = brokerURL_->GetProtocol();
  auto client = NewClient(protocol);
  const TSettings settings = SettingsFor(*brokerURL_);
  ConfigureClient(*client, settings, protocol, userName, password);
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
                                              const std::string& protocol, const std::string& userName,
                                              const std::string& password) const {
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
                                                                   : brokerURL_->GetHost());
  client.SetClientID(clientId_);
  client.SetLogin(userName);
  client.SetPasscode(password);
  client.SetURI(brokerURL_);
  if (const auto uri = client.GetURI()) {
    if (!brokerURL_->GetPort().empty()) {
      uri->SetPort(brokerURL_->GetPort());
    } else if (protocol == "stomp") {
      uri->SetPort(kDefaultPort);
    } else if (protocol == "stomp+ssl") {
      uri->SetPort(kTlsDefaultPort);
    }
  }
}

}  // namespace ks
