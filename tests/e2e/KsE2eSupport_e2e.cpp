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

namespace {
TKsScriptedPeerOptions AutoConnected() {
  TKsScriptedPeerOptions o;
  o.AutoConnected = true;
  return o;
}
}  // namespace

TScriptedBroker::TScriptedBroker() : peer_(AutoConnected()) {}

std::string TScriptedBroker::Expect(const std::string& command) {
  for (;;) {
    std::string f = peer_.ReadFrame(std::chrono::seconds(10));
    if (f.empty()) return {};
    frames_.push_back(f);
    if (f.rfind(command + "\n", 0) == 0) return f;
  }
}

std::string TScriptedBroker::Header(const std::string& frame, const std::string& name) {
  auto at = frame.find("\n" + name + ":");
  if (at == std::string::npos) return {};
  at += name.size() + 2;
  return frame.substr(at, frame.find('\n', at) - at);
}

void TScriptedBroker::Deliver(const std::string& subscription, const std::string& id, const std::string& body,
                              const std::string& replyTo) {
  std::string f = "MESSAGE\nsubscription:" + subscription + "\nmessage-id:" + id + "\ndestination:jms.queue.q\n";
  if (!replyTo.empty()) f += "reply-to:" + replyTo + "\n";
  f += "content-length:" + std::to_string(body.size()) + "\n\n" + body + std::string(1, '\0') + "\n";
  peer_.Send(f);
}

std::vector<std::string> TScriptedBroker::Rest() {
  Expect("DISCONNECT");
  return frames_;
}

std::vector<std::string> Commands(const std::vector<std::string>& frames) {
  std::vector<std::string> out;
  for (const auto& f : frames) out.push_back(f.substr(0, f.find('\n')));
  return out;
}

}  // namespace ks::test
