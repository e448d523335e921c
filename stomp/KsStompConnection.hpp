// KsStompConnection: TKsStompConnection, the base of the STOMP protocol
// client: it holds the transport adapter, the credentials, the client id and
// a logger.
//
// Ownership: the connection owns its adapter (std::unique_ptr); the logger is
// shared. Installing an adapter also hands it a default broker address,
// stomp://127.0.0.1:61613.
// Threads: setters and the adapter accessors belong to the owning thread;
// Log may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include "stomp/KsCommInterfaces.hpp"

namespace ks {

class ILogging;
class IURI;

class TKsStompConnection {
 public:
  TKsStompConnection();
  virtual ~TKsStompConnection();

  TKsStompConnection(const TKsStompConnection&) = delete;
  TKsStompConnection& operator=(const TKsStompConnection&) = delete;

  void SetClientID(const std::string& clientId);
  const std::string& GetClientID() const;
  void SetLogin(const std::string& login);
  const std::string& GetLogin() const;
  void SetPasscode(const std::string& passcode);
  const std::string& GetPasscode() const;

  // Takes ownership of adapter (none allowed), logs
  // "Set communication adapter to <name>" and gives it the default URI.
  void SetAdapter(std::unique_ptr<IStompCommAdapter> adapter);
  IStompCommAdapter* GetAdapter() const noexcept { return adapter_.get(); }
  void SetURI(std::shared_ptr<IURI> uri);
  std::shared_ptr<IURI> GetURI() const;
  // The socket state (not the logged-in state).
  bool Connected() const;

  const std::shared_ptr<ILogging>& GetLogger() const noexcept { return logger_; }

  // One Trace line: ClassName(), ": ", text.
  virtual void Log(const std::string& text);
  virtual void Disconnect() = 0;

 protected:
  // The class name used as the prefix of Log lines.
  virtual const char* ClassName() const;

 private:
  std::unique_ptr<IStompCommAdapter> adapter_;
  std::string login_;
  std::string passcode_;
  std::string clientId_;
  std::shared_ptr<ILogging> logger_;
};

}  // namespace ks
