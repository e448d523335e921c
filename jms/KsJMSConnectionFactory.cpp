#include "jms/KsJMSConnectionFactory.hpp"

#include <limits>
#include <utility>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsURI.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr const char* kDefaultPort = "61613";

}  // namespace

TKsJMSConnectionFactory::TKsJMSConnectionFactory(const std::string& userName, const std::string& password,
                                                 const std::string& brokerURL)
    : password_(password), userName_(userName), maxFrameSize_(kDefaultMaxFrameSize) {
  SetBrokerURL(brokerURL);
}

void TKsJMSConnectionFactory::SetBrokerURL(const std::string& brokerURL) { brokerURL_ = ParseBrokerURL(brokerURL); }

std::string TKsJMSConnectionFactory::GetBrokerURL() const { return brokerURL_ ? brokerURL_->GetURI() : std::string(); }

std::shared_ptr<IURI> TKsJMSConnectionFactory::ParseBrokerURL(const std::string& brokerURL) {
  try {
    auto uri = std::make_shared<TKsURI>(brokerURL);
    if (uri->GetPort().empty()) uri->SetPort(kDefaultPort);
    return uri;
  } catch (const EURISyntaxException&) {
    throw EIllegalArgumentException("Invalid broker URI: " + brokerURL);
  }
}

std::size_t TKsJMSConnectionFactory::MaxFrameSizeFor(const IURI& uri) const {
  std::string text;
  if (!FindURIParameter(uri.GetParams(), "maxFrameSize", text)) return maxFrameSize_;
  std::int64_t value = 0;
  constexpr std::int64_t kLargest = std::numeric_limits<std::int32_t>::max() - 2;
  if (!TryStrToInt64(text, value) || value < 1 || value > kLargest) {
    throw EIllegalArgumentException("Invalid maxFrameSize \"" + text + "\": a number of bytes from 1 to " +
                                    std::to_string(kLargest));
  }
  return static_cast<std::size_t>(value);
}

std::shared_ptr<IConnection> TKsJMSConnectionFactory::CreateConnection() {
  return CreateConnection(userName_, password_);
}

std::shared_ptr<IConnection> TKsJMSConnectionFactory::CreateConnection(const std::string& userName,
                                                                       const std::string& password) {
  if (GetBrokerURL().empty()) throw EConfigurationException("BrokerURL not set.");
  RegisterTcpAdapter();
  auto client = std::make_unique<TKsJMSClient>();
  IStompCommAdapter* adapter = client->GetAdapter();
  if (adapter == nullptr || !adapter->SupportsProtocol(brokerURL_->GetProtocol())) {
    throw Exception("Unsupported Protocol!");
  }
  if (connectTimeoutSet_) adapter->SetConnectTimeout(connectTimeout_);
  const std::size_t maxFrameSize = MaxFrameSizeFor(*brokerURL_);
  if (auto* own = dynamic_cast<TKsCommAdapter*>(adapter)) own->SetMaxFrameSize(maxFrameSize);
  client->SetClientID(clientId_);
  client->SetLogin(userName);
  client->SetPasscode(password);
  client->SetURI(brokerURL_);
  if (const auto uri = client->GetURI()) {
    if (!brokerURL_->GetPort().empty()) {
      uri->SetPort(brokerURL_->GetPort());
    } else if (brokerURL_->GetProtocol() == "stomp") {
      uri->SetPort(kDefaultPort);
    }
  }
  TKsJMSClient* rawClient = client.get();
  auto connection = TKsJMSConnection::Create(std::move(client));
  connection->SetConnectTimeout(connectTimeout_);
  connection->SetSendTimeout(sendTimeout_);
  rawClient->SetOwningConnection(connection.get());
  if (!clientId_.empty()) connection->FactorySetClientID(clientId_);
  return connection;
}

}  // namespace ks
