#include "broker/KsBrokerFrameWriter.hpp"

#include <charconv>

#include "broker/KsBrokerMessage.hpp"

namespace ks {

void AppendFrame(TByteBuffer& out, std::string_view command, THeaderList headers, std::string_view body) {
  std::size_t size = command.size() + 1 + 1 + body.size() + 2;
  for (const auto& h : headers) size += h.first.size() + h.second.size() + 2;
  char* const start = out.Reserve(size);
  char* p = PutBytes(start, command);
  *p++ = '\n';
  for (const auto& h : headers) {
    p = PutBytes(p, h.first);
    *p++ = ':';
    p = PutBytes(p, h.second);
    *p++ = '\n';
  }
  *p++ = '\n';
  p = PutBytes(p, body);
  *p++ = '\0';
  *p++ = '\n';
  out.Commit(static_cast<std::size_t>(p - start));
}

void AppendMessage(TByteBuffer& out, const TBrokerMessage& message, std::string_view subscription, bool redelivered) {
  static constexpr std::string_view kHead = "MESSAGE\ndestination:";
  static constexpr std::string_view kId = "\nmessage-id:";
  static constexpr std::string_view kSub = "\nsubscription:";
  static constexpr std::string_view kRedelivered = "redelivered:true\n";
  static constexpr std::string_view kLength = "content-length:";
  char digits[24];
  std::size_t digitCount = 0;
  if (message.hasContentLength) {
    auto res = std::to_chars(digits, digits + sizeof digits, message.body.size());
    digitCount = static_cast<std::size_t>(res.ptr - digits);
  }
  const std::string_view destination = *message.destination;
  const std::size_t size = kHead.size() + destination.size() + kId.size() + message.messageId.size() + kSub.size() +
                           subscription.size() + 1 + (redelivered ? kRedelivered.size() : 0) +
                           message.headerBlock.size() + (message.hasContentLength ? kLength.size() + digitCount + 1 : 0) +
                           1 + message.body.size() + 2;
  char* const start = out.Reserve(size);
  char* p = PutBytes(start, kHead);
  p = PutBytes(p, destination);
  p = PutBytes(p, kId);
  p = PutBytes(p, message.messageId);
  p = PutBytes(p, kSub);
  p = PutBytes(p, subscription);
  *p++ = '\n';
  if (redelivered) p = PutBytes(p, kRedelivered);
  p = PutBytes(p, message.headerBlock);
  if (message.hasContentLength) {
    p = PutBytes(p, kLength);
    p = PutBytes(p, std::string_view(digits, digitCount));
    *p++ = '\n';
  }
  *p++ = '\n';
  p = PutBytes(p, message.body);
  *p++ = '\0';
  *p++ = '\n';
  out.Commit(static_cast<std::size_t>(p - start));
}

std::string SanitizeHeaderValue(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return out;
}

}  // namespace ks
