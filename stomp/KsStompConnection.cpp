#include "stomp/KsStompConnection.hpp"

#include "jms/KsURI.hpp"
#include "support/KsLog.hpp"
#include "support/KsLogFactory.hpp"

namespace ks {

namespace {

// The broker address every newly installed adapter starts with.
constexpr const char* kDefaultBrokerURI = "stomp://127.0.0.1:61613";

}  // namespace

TKsStompConnection::TKsStompConnection() : logger_(TLogFactory::GetLogger("TKsStompConnection")) {}

TKsStompConnection::~TKsStompConnection() { SetAdapter(nullptr); }

void TKsStompConnection::SetClientID(const std::string& clientId) { clientId_ = clientId; }
const std::string& TKsStompConnection::GetClientID() const { return clientId_; }
void TKsStompConnection::SetLogin(const std::string& login) { login_ = login; }
const std::string& TKsStompConnection::GetLogin() const { return login_; }
void TKsStompConnection::SetPasscode(const std::string& passcode) { passcode_ = passcode; }
const std::string& TKsStompConnection::GetPasscode() const { return passcode_; }

void TKsStompConnection::SetAdapter(std::unique_ptr<IStompCommAdapter> adapter) {
  if (adapter) Log("Set communication adapter to " + adapter->GetName());
  adapter_ = std::move(adapter);
  if (adapter_) adapter_->SetURI(std::make_shared<TKsURI>(kDefaultBrokerURI));
}

void TKsStompConnection::SetURI(std::shared_ptr<IURI> uri) {
  if (adapter_) adapter_->SetURI(std::move(uri));
}

std::shared_ptr<IURI> TKsStompConnection::GetURI() const { return adapter_ ? adapter_->GetURI() : nullptr; }

bool TKsStompConnection::Connected() const { return adapter_ && adapter_->Connected(); }

void TKsStompConnection::Log(const std::string& text) {
  // A trace line passes only a logger whose threshold is TRACE, which also
  // reports debug as enabled; skipping the formatting otherwise changes no
  // output.
  if (!logger_ || !logger_->IsDebugEnabled()) return;
  std::string line(ClassName());
  line += ": ";
  line += text;
  logger_->Trace(line);
}

const char* TKsStompConnection::ClassName() const { return "TKsStompConnection"; }

}  // namespace ks
