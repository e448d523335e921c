// Fuzz target: the broker URI parser (TKsURI) and the TCP adapter's reading
// of the parsed host and port (SetURI on an adapter that is not connected).
//
// The parser must never raise, must keep the text exactly, and its fields
// must be pieces of the text with the separators that delimit them removed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/KsFuzzOracle.hpp"
#include "jms/KsURI.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "support/KsException.hpp"

using ks::fuzz::FuzzCheck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::shared_ptr<ks::TKsURI> uri;
  try {
    uri = std::make_shared<ks::TKsURI>(text);
  } catch (...) {
    FuzzCheck(false, "the URI parser raised");
  }
  FuzzCheck(uri->GetURI() == text, "GetURI is not the text given");
  FuzzCheck(uri->GetPath().empty(), "path is not empty");
  FuzzCheck(uri->GetProtocol().find("://") == std::string::npos, "protocol holds ://");
  FuzzCheck(text.find(uri->GetHost()) != std::string::npos, "host is not part of the text");
  FuzzCheck(text.find(uri->GetPort()) != std::string::npos, "port is not part of the text");
  FuzzCheck(text.find(uri->GetParams()) != std::string::npos, "params are not part of the text");
  if (text.find("://") == std::string::npos) {
    FuzzCheck(uri->GetProtocol().empty() && uri->GetHost().empty() && uri->GetPort().empty(),
              "a text without :// gave protocol, host or port");
  }
  if (uri->GetUsername().empty()) FuzzCheck(uri->GetPassword().empty(), "password without a user name");
  if (uri->GetIPv6()) {
    FuzzCheck(uri->GetHost().find(']') == std::string::npos, "bracketed host holds ]");
  } else {
    FuzzCheck(uri->GetHost().find(':') == std::string::npos, "plain host holds :");
  }
  FuzzCheck(uri->GetHost().find('/') == std::string::npos, "host holds /");

  // Parsing again over the same object gives the same fields.
  ks::TKsURI again;
  again.SetURI(text);
  FuzzCheck(again.GetHost() == uri->GetHost() && again.GetPort() == uri->GetPort() &&
                again.GetUsername() == uri->GetUsername() && again.GetPassword() == uri->GetPassword() &&
                again.GetParams() == uri->GetParams() && again.GetProtocol() == uri->GetProtocol() &&
                again.GetIPv6() == uri->GetIPv6(),
            "SetURI differs from the constructor");

  // The adapter takes host, port and IP version from the URI; any text is
  // accepted here (a bad port is refused later, by Connect).
  static ks::TKsCommAdapterIndy adapter;
  try {
    adapter.SetURI(uri);
  } catch (const ks::Exception&) {
    FuzzCheck(false, "SetURI raised on an adapter that is not connected");
  }
  const std::uint16_t port = adapter.GetClient()->GetPort();
  if (port != 0) {
    FuzzCheck(ks::fuzz::ReferenceIntegerRule(uri->GetPort(), 32) == static_cast<std::int64_t>(port),
              "adapter port is not the URI's port");
  }
  return 0;
}
