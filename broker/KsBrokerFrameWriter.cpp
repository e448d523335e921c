#include "broker/KsBrokerFrameWriter.hpp"

#include <charconv>

#include "broker/KsBrokerMessage.hpp"

namespace ks {

namespace {

constexpr std::string_view kHead = "MESSAGE\ndestination:";
constexpr std::string_view kId = "\nmessage-id:";
constexpr std::string_view kSub = "\nsubscription:";
constexpr std::string_view kAck = "ack:";
constexpr std::string_view kRedelivered = "redelivered:true\n";
constexpr std::string_view kLength = "content-length:";

// Each "name:value" line of block, a raw one (names hold no ':'), written
// with name and value escaped for version.
char* PutRawLinesEscaped(char* p, std::string_view block, TBrokerVersion version) {
  while (!block.empty()) {
    const std::size_t nl = block.find('\n');
    const std::string_view line = block.substr(0, nl);
    const std::size_t colon = line.find(':');
    p = PutEscaped(p, line.substr(0, colon), version);
    *p++ = ':';
    p = PutEscaped(p, line.substr(colon + 1), version);
    *p++ = '\n';
    block.remove_prefix(nl + 1);
  }
  return p;
}

// An escaped block (as under 1.2) as a 1.1 reader takes it: the same but
// with each CR as it is.
char* PutEscapedFor11(char* p, std::string_view block) {
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (block[i] == '\\' && block[i + 1] == 'r') {
      *p++ = '\r';
      ++i;
    } else {
      *p++ = block[i];
      if (block[i] == '\\') *p++ = block[++i];
    }
  }
  return p;
}

// An escaped block (as under 1.2) as a 1.0 reader takes it: unescaped, each
// LF and CR a blank. Lines and the colon after each name stay where they
// are, as an escaped block holds no other LF or ':'.
char* PutEscapedFor10(char* p, std::string_view block) {
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (block[i] != '\\') {
      *p++ = block[i];
      continue;
    }
    switch (block[++i]) {
      case 'c': *p++ = ':'; break;
      case '\\': *p++ = '\\'; break;
      default: *p++ = ' ';  // LF or CR
    }
  }
  return p;
}

// The message's header block for a connection of version.
char* PutBlock(char* p, const TBrokerMessage& message, TBrokerVersion version) {
  const std::string_view block = message.headerBlock;
  switch (message.headerForm) {
    case THeaderForm::Raw:
      return version == TBrokerVersion::V1_0 ? PutBytes(p, block) : PutRawLinesEscaped(p, block, version);
    case THeaderForm::Escaped:
      if (version == TBrokerVersion::V1_2) return PutBytes(p, block);
      return version == TBrokerVersion::V1_1 ? PutEscapedFor11(p, block) : PutEscapedFor10(p, block);
    default:
      return PutBytes(p, block);
  }
}

}  // namespace

void AppendFrame(TByteBuffer& out, std::string_view command, THeaderList headers, std::string_view body,
                 TBrokerVersion version) {
  std::size_t size = command.size() + 1 + 1 + body.size() + 2;
  const bool escape = version != TBrokerVersion::V1_0;
  for (const auto& h : headers)
    size += (escape ? MaxEscapedSize(h.first) + MaxEscapedSize(h.second) : h.first.size() + h.second.size()) + 2;
  char* const start = out.Reserve(size);
  char* p = PutBytes(start, command);
  *p++ = '\n';
  for (const auto& h : headers) {
    p = PutEscaped(p, h.first, version);
    *p++ = ':';
    p = PutEscaped(p, h.second, version);
    *p++ = '\n';
  }
  *p++ = '\n';
  p = PutBytes(p, body);
  *p++ = '\0';
  *p++ = '\n';
  out.Commit(static_cast<std::size_t>(p - start));
}

namespace {

// AppendMessage's work. Without kAnyVersion it serves the common case
// alone, a 1.0 connection and a block that needs no rewriting, with nothing
// looked at that this case does not need.
template <bool kAnyVersion>
void PutMessage(TByteBuffer& out, const TBrokerMessage& message, std::string_view subscription, bool redelivered,
                TBrokerVersion version, std::string_view ackId) {
  char digits[24];
  std::size_t digitCount = 0;
  if (message.hasContentLength) {
    auto res = std::to_chars(digits, digits + sizeof digits, message.body.size());
    digitCount = static_cast<std::size_t>(res.ptr - digits);
  }
  auto put = [version](char* p, std::string_view text) {
    return kAnyVersion ? PutEscaped(p, text, version) : PutBytes(p, text);
  };
  const std::string_view destination = *message.destination;
  // Room for the most every part can take; what is written is committed.
  const std::size_t factor = kAnyVersion && version != TBrokerVersion::V1_0 ? 2 : 1;
  const std::size_t blockRoom =
      message.headerForm == THeaderForm::Raw ? factor * message.headerBlock.size() : message.headerBlock.size();
  const std::size_t size = kHead.size() + factor * destination.size() + kId.size() + factor * message.messageId.size() +
                           kSub.size() + factor * subscription.size() + 1 +
                           (ackId.empty() ? 0 : kAck.size() + factor * ackId.size() + 1) +
                           (redelivered ? kRedelivered.size() : 0) + blockRoom +
                           (message.hasContentLength ? kLength.size() + digitCount + 1 : 0) + 1 + message.body.size() + 2;
  char* const start = out.Reserve(size);
  char* p = PutBytes(start, kHead);
  p = put(p, destination);
  p = PutBytes(p, kId);
  p = put(p, message.messageId);
  p = PutBytes(p, kSub);
  p = put(p, subscription);
  *p++ = '\n';
  if (kAnyVersion && !ackId.empty()) {
    p = PutBytes(p, kAck);
    p = put(p, ackId);
    *p++ = '\n';
  }
  if (redelivered) p = PutBytes(p, kRedelivered);
  p = kAnyVersion ? PutBlock(p, message, version) : PutBytes(p, message.headerBlock);
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

}  // namespace

void AppendMessage(TByteBuffer& out, const TBrokerMessage& message, std::string_view subscription, bool redelivered,
                   TBrokerVersion version, std::string_view ackId) {
  if (version == TBrokerVersion::V1_0 && message.headerForm != THeaderForm::Escaped) {
    PutMessage<false>(out, message, subscription, redelivered, version, {});
  } else {
    PutMessage<true>(out, message, subscription, redelivered, version, ackId);
  }
}

std::string SanitizeHeaderValue(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return out;
}

}  // namespace ks
