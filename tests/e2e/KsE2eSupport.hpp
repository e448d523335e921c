// KsE2eSupport: shared pieces of the end-to-end suites that run the real
// Spigot and Siphon programs against a Cistern started by the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsRawStompPeer.hpp"

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

}  // namespace ks::test
