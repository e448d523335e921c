// Implementation of the helpers in KsE2eSupport.hpp (compiled into the e2e
// test binary only).
#include "tests/e2e/KsE2eSupport.hpp"

namespace ks::test {

bool SubscribeRaw(TRawStompPeer& peer, const TCisternProcess& broker, const std::string& destination,
                  const TRawHeaders& extra) {
  if (!peer.Login(broker.Host(), broker.Port())) return false;
  TRawHeaders headers = {{"destination", destination}, {"ack", "auto"}, {"id", "raw"}, {"receipt", "sub"}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  if (!peer.SendFrame("SUBSCRIBE", headers)) return false;
  auto receipt = peer.ReadUntil("RECEIPT", std::chrono::milliseconds(5000));
  return receipt.has_value();
}

bool PublishRaw(const TCisternProcess& broker, const std::string& destination, int count,
                const std::string& prefix, const TRawHeaders& extra) {
  TRawStompPeer peer;
  if (!peer.Login(broker.Host(), broker.Port())) return false;
  for (int i = 0; i < count; ++i) {
    TRawHeaders headers = {{"destination", destination}};
    headers.insert(headers.end(), extra.begin(), extra.end());
    if (!peer.SendFrame("SEND", headers, prefix + std::to_string(i))) return false;
  }
  if (!peer.SendFrame("DISCONNECT", {{"receipt", "bye"}})) return false;
  return peer.ReadUntil("RECEIPT", std::chrono::milliseconds(5000)).has_value();
}

}  // namespace ks::test
