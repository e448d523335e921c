// KsBenchFrames: the frame texts the microbenchmarks work on, shaped like
// the traffic of a real broker: a 255-character text body, the headers
// Cistern puts on a relayed MESSAGE, and the SEND frame this library writes
// for a non-persistent text message with default settings.
#pragma once

#include <string>

namespace ks::bench {

inline constexpr const char* kBenchSubscription = "{6F9619FF-8B86-D011-B42D-00C04FC964FF}";

// A MESSAGE frame (command to NUL LF) for kBenchSubscription, or for the
// given subscription id; with withLength a "content-length" header is added.
std::string MessageFrameText(bool withLength = false, int serial = 1,
                             const std::string& subscription = kBenchSubscription);
// A SEND frame of a 255-character text message to jms.queue.ExampleQueue.
std::string SendFrameText();

}  // namespace ks::bench
