// Helpers shared by Cistern's tests: log in, subscribe or send and wait for
// the receipt, so tests synchronise on the broker's answers instead of
// sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsRawStompPeer.hpp"

namespace ks::test {

inline std::int64_t UnixMillisNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Sends a frame with a fresh "receipt" and waits for its RECEIPT; frames
// read on the way are appended to before when given.
inline ::testing::AssertionResult Confirmed(TRawStompPeer& peer, const std::string& command, TRawHeaders headers,
                                            const std::string& body = {}, bool contentLength = false,
                                            std::vector<TRawFrame>* before = nullptr) {
  static std::atomic<int> counter{0};
  const std::string receipt = "r-" + std::to_string(++counter);
  headers.emplace_back("receipt", receipt);
  if (!peer.SendFrame(command, headers, body, contentLength)) return ::testing::AssertionFailure() << "send failed";
  std::vector<TRawFrame> skipped;
  auto reply = peer.ReadUntil("RECEIPT", std::chrono::milliseconds(5000), &skipped);
  for (const TRawFrame& f : skipped)
    if (f.command == "ERROR") return ::testing::AssertionFailure() << "ERROR: " << f.Header("message") << " " << f.body;
  if (before) before->insert(before->end(), skipped.begin(), skipped.end());
  if (!reply) return ::testing::AssertionFailure() << "no RECEIPT for " << command << " " << peer.Violation();
  if (reply->Header("receipt-id") != receipt)
    return ::testing::AssertionFailure() << "receipt-id " << reply->Header("receipt-id") << " != " << receipt;
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult Subscribed(TRawStompPeer& peer, const std::string& destination,
                                             const std::string& id, TRawHeaders extra = {}) {
  TRawHeaders h{{"destination", destination}, {"id", id}};
  h.insert(h.end(), extra.begin(), extra.end());
  return Confirmed(peer, "SUBSCRIBE", h);
}

inline std::vector<std::string> Bodies(const std::vector<TRawFrame>& frames) {
  std::vector<std::string> out;
  for (const TRawFrame& f : frames) out.push_back(f.body);
  return out;
}

// Expects an ERROR frame with a message and a body, then the end of the
// connection.
inline ::testing::AssertionResult RefusedAndClosed(TRawStompPeer& peer) {
  auto f = peer.ReadFrame();
  if (!f) return ::testing::AssertionFailure() << "no frame; " << peer.Violation();
  if (f->command != "ERROR") return ::testing::AssertionFailure() << "got " << f->command;
  if (f->Header("message").empty() || f->body.empty())
    return ::testing::AssertionFailure() << "ERROR without message or body";
  if (!peer.WaitClosed()) return ::testing::AssertionFailure() << "connection stayed open";
  return ::testing::AssertionSuccess();
}

}  // namespace ks::test
