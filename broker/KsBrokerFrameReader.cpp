#include "broker/KsBrokerFrameReader.hpp"

#include <cstring>

namespace ks {

namespace {

bool IsJunk(char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t' || c == '\0'; }

std::string_view StripCR(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A printable rendering of a line for an error text: at most 60 bytes,
// control characters shown as '?'.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 60)) out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
  if (text.size() > 60) out += "...";
  return out;
}

}  // namespace

const std::string_view* TBrokerFrame::Find(std::string_view name) const {
  for (const auto& h : headers)
    if (h.first == name) return &h.second;
  return nullptr;
}

std::string_view TBrokerFrame::Get(std::string_view name) const {
  const std::string_view* v = Find(name);
  return v ? *v : std::string_view();
}

TBrokerFrameReader::TResult TBrokerFrameReader::Fail(std::string text) {
  error_ = std::move(text);
  return TResult::Error;
}

TBrokerFrameReader::TResult TBrokerFrameReader::Next(TByteBuffer& input, TBrokerFrame& frame) {
  if (bodyStart_ == 0 && scanned_ == 0) {
    std::size_t junk = 0;
    const char* p = input.Data();
    const std::size_t n = input.Size();
    while (junk < n && IsJunk(p[junk])) ++junk;
    examined_ += junk;
    if (junk > 0) input.Consume(junk);
  }
  const char* data = input.Data();
  const std::size_t size = input.Size();
  if (size == 0) return TResult::NeedMore;

  if (bodyStart_ == 0) {
    const TResult found = FindHeaderEnd(data, size);
    if (found != TResult::Frame) return found;
    const TResult split = SplitHeaders(data);
    if (split != TResult::Frame) return split;
  }

  if (hasContentLength_) {
    if (size < bodyStart_ + contentLength_ + 1) return TResult::NeedMore;
    ++examined_;
    if (data[bodyStart_ + contentLength_] != '\0') return Fail("Body is not followed by NUL");
    return Complete(data, contentLength_, frame);
  }

  const std::size_t from = bodyStart_ + bodyScan_;
  const void* nul = from < size ? std::memchr(data + from, '\0', size - from) : nullptr;
  if (nul == nullptr) {
    examined_ += size - from;
    bodyScan_ = size - bodyStart_;
    if (bodyScan_ > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
    return TResult::NeedMore;
  }
  const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - data);
  examined_ += end + 1 - from;
  if (end - bodyStart_ > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
  return Complete(data, end - bodyStart_, frame);
}

// Searches the new bytes for the blank line that ends the header block:
// Frame once found (bodyStart_ set), else NeedMore or Error.
TBrokerFrameReader::TResult TBrokerFrameReader::FindHeaderEnd(const char* data, std::size_t size) {
  for (;;) {
    const void* nl = scanned_ < size ? std::memchr(data + scanned_, '\n', size - scanned_) : nullptr;
    if (nl == nullptr) {
      examined_ += size - scanned_;
      scanned_ = size;
      if (size > kMaxHeaderBlock) return Fail("Header block exceeds 65536 bytes");
      return TResult::NeedMore;
    }
    const std::size_t lineEnd = static_cast<std::size_t>(static_cast<const char*>(nl) - data);
    examined_ += lineEnd + 1 - scanned_;
    scanned_ = lineEnd + 1;
    const std::size_t lineSize = lineEnd - lineStart_;
    if (lineStart_ > 0 && (lineSize == 0 || (lineSize == 1 && data[lineStart_] == '\r'))) {
      bodyStart_ = lineEnd + 1;
      break;
    }
    lineStart_ = lineEnd + 1;
    if (lineStart_ > kMaxHeaderBlock) return Fail("Header block exceeds 65536 bytes");
  }
  if (bodyStart_ > kMaxHeaderBlock + 2) return Fail("Header block exceeds 65536 bytes");
  // A NUL inside the header block would end the frame early for a reader
  // that cuts frames at NUL, so it is refused rather than passed on.
  examined_ += bodyStart_;
  if (std::memchr(data, '\0', bodyStart_) != nullptr) return Fail("NUL byte in the header block");
  return TResult::Frame;
}

// Splits the header block (once per frame) into spans and reads its
// content-length: Frame, or Error.
TBrokerFrameReader::TResult TBrokerFrameReader::SplitHeaders(const char* data) {
  examined_ += bodyStart_;
  spans_.clear();
  hasContentLength_ = false;
  std::size_t pos = 0;
  bool first = true;
  while (pos < bodyStart_) {
    const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', bodyStart_ - pos));
    const std::size_t lineEnd = static_cast<std::size_t>(nl - data);
    const std::string_view line = StripCR(std::string_view(data + pos, lineEnd - pos));
    const std::size_t lineAt = pos;
    pos = lineEnd + 1;
    if (first) {
      commandSize_ = line.size();
      first = false;
      continue;
    }
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail("Malformed header line: " + Printable(line));
    if (colon == 0) return Fail("Empty header name: " + Printable(line));
    spans_.push_back(TSpan{lineAt, colon, lineAt + colon + 1, line.size() - colon - 1});
    if (hasContentLength_ || line.substr(0, colon) != "content-length") continue;
    const std::string_view cl = line.substr(colon + 1);
    if (cl.empty() || cl.size() > 12) return Fail("Invalid content-length: " + Printable(cl));
    std::size_t length = 0;
    for (char c : cl) {
      if (c < '0' || c > '9') return Fail("Invalid content-length: " + Printable(cl));
      length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    if (length > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
    hasContentLength_ = true;
    contentLength_ = length;
  }
  return TResult::Frame;
}

TBrokerFrameReader::TResult TBrokerFrameReader::Complete(const char* data, std::size_t bodySize,
                                                         TBrokerFrame& frame) {
  frame.command = std::string_view(data, commandSize_);
  frame.headers.clear();
  for (const TSpan& h : spans_)
    frame.headers.emplace_back(std::string_view(data + h.nameAt, h.nameSize),
                               std::string_view(data + h.valueAt, h.valueSize));
  frame.hasContentLength = hasContentLength_;
  frame.body = std::string_view(data + bodyStart_, bodySize);
  frameLength_ = bodyStart_ + bodySize + 1;
  return TResult::Frame;
}

void TBrokerFrameReader::Consume(TByteBuffer& input) {
  input.Consume(frameLength_);
  frameLength_ = 0;
  scanned_ = 0;
  lineStart_ = 0;
  bodyStart_ = 0;
  bodyScan_ = 0;
  hasContentLength_ = false;
}

}  // namespace ks
