// KsURI: IURI and TKsURI, a small, lenient parser for broker addresses of the
// form scheme://[user[:password]@]host[:port][/path][?params]; a host in
// brackets is an IPv6 address. Parsing never fails: every text gives some set
// of fields. Getters return the stored fields; nothing is rebuilt, so GetURI
// always returns the text last given to SetURI (or the constructor).
//
// Ownership: shared as std::shared_ptr<IURI>; one object may be shared by a
// connection factory and every connection it makes.
// Threads: changed only by SetURI and SetPort; no lock is taken.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/KsErrors.hpp"
#include "support/KsException.hpp"

namespace ks {


class IURI {
 public:
  virtual ~IURI() = default;
  virtual std::string GetHost() const = 0;
  virtual bool GetIPv6() const = 0;
  virtual std::string GetParams() const = 0;
  virtual std::string GetPassword() const = 0;
  virtual std::string GetPath() const = 0;
  virtual std::string GetPort() const = 0;
  virtual void SetPort(const std::string& port) = 0;
  virtual std::string GetProtocol() const = 0;
  virtual std::string GetUsername() const = 0;
  virtual void SetURI(const std::string& uri) = 0;
  virtual std::string GetURI() const = 0;
};

class TKsURI : public IURI {
 public:
  // A non-empty text is parsed at once; an empty one leaves every field empty.
  explicit TKsURI(const std::string& uri = std::string());

  std::string GetHost() const override;
  bool GetIPv6() const override;
  std::string GetParams() const override;
  std::string GetPassword() const override;
  std::string GetPath() const override;
  std::string GetPort() const override;
  void SetPort(const std::string& port) override;
  std::string GetProtocol() const override;
  std::string GetUsername() const override;
  void SetURI(const std::string& uri) override;
  std::string GetURI() const override;

 private:
  // "user:password@host:port" or "[v6 address]:port" into the fields.
  void SetAuthority(std::string authority);

  std::string protocol_;
  std::string uri_;
  std::string port_;
  std::string path_;
  std::string host_;
  bool ipv6_ = false;
  std::string username_;
  std::string password_;
  std::string params_;
};

// The value of the parameter name in a parameter text such as
// "a=1&b=two" (as GetParams answers it): items split at "&", names compared
// without regard to ASCII case, the last item of that name winning. False when
// there is none; an item without "=" has the empty value.
bool FindURIParameter(std::string_view params, std::string_view name, std::string& value);

// A failover address: "failover:(URI1,URI2,...)?PARAMS", or
// "failover:URI1,URI2" (then without parameters of its own). Each URI keeps
// its own parameters after its "?". The list is split only at commas that
// begin another address ("scheme://"), so a parameter value may hold
// commas. IsFailoverURI: the text begins with "failover:" (exactly).
// SplitFailoverURI: false when the text is not of that form (no closing
// parenthesis, text after it other than "?PARAMS", no address at all).
bool IsFailoverURI(std::string_view text);
bool SplitFailoverURI(std::string_view text, std::vector<std::string>& uris, std::string& params);

}  // namespace ks
