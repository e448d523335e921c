// KsE2eSupport: shared pieces of the end-to-end suites that run the real
// Spigot and Siphon programs against a Cistern started by the test, or
// against a scripted broker where the exact frames matter.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsRawStompPeer.hpp"
#include "tests/common/KsScriptedPeer.hpp"

namespace ks::test {

inline constexpr std::chrono::milliseconds kLineWait{10000};

inline std::vector<std::string> WithUrl(const std::string& url, std::vector<std::string> args) {
  args.insert(args.begin(), "--URL=" + url);
  return args;
}

// A raw subscriber on destination, logged in to the broker and subscribed
// with id "raw" and ack auto; waits for the subscription with a receipt.
bool SubscribeRaw(TRawStompPeer& peer, const TCisternProcess& broker, const std::string& destination,
                  const TRawHeaders& extra = {});

// Publishes count text messages "<prefix><i>" to destination through a raw
// connection, with extra headers on each.
bool PublishRaw(const TCisternProcess& broker, const std::string& destination, int count,
                const std::string& prefix, const TRawHeaders& extra = {});

// A scripted broker for a program under test: answers CONNECTED (and every
// receipt), reads the client's frames, delivers messages for a
// subscription id and collects what the client sends.
class TScriptedBroker {
 public:
  TScriptedBroker();
  std::string Url() const { return peer_.Url(); }
  // Reads client frames until one starts with command; returns it (empty
  // when none came within 10 s).
  std::string Expect(const std::string& command);
  // The value of a header of a frame's text; empty when it is missing.
  static std::string Header(const std::string& frame, const std::string& name);
  void Deliver(const std::string& subscription, const std::string& id, const std::string& body,
               const std::string& replyTo = {});
  // Every client frame read so far plus the rest up to DISCONNECT.
  std::vector<std::string> Rest();

 private:
  TKsScriptedPeer peer_;
  std::vector<std::string> frames_;
};

// The command of each frame's text.
std::vector<std::string> Commands(const std::vector<std::string>& frames);

}  // namespace ks::test
