#include "bench/micro/KsBenchFrames.hpp"

namespace ks::bench {

std::string MessageFrameText(bool withLength, int serial, const std::string& subscription) {
  const std::string body(255, 'x');
  std::string text = "MESSAGE\ndestination:jms.queue.ExampleQueue\nmessage-id:ID:cistern-1-" + std::to_string(serial) +
                     "\nsubscription:" + subscription + "\ntimestamp:1765100000000\n";
  if (withLength) text += "content-length:" + std::to_string(body.size()) + "\n";
  text += "\n" + body;
  text.push_back('\0');
  text.push_back('\n');
  return text;
}

std::string SendFrameText() {
  std::string text = "SEND\ndestination:jms.queue.ExampleQueue\n\n" + std::string(255, 'x');
  text.push_back('\0');
  text.push_back('\n');
  return text;
}

}  // namespace ks::bench
