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
  if (bodyStart_ == 0 && lineScan_ == 0) {
    std::size_t junk = 0;
    const char* p = input.Data();
    const std::size_t n = input.Size();
    while (junk < n && IsJunk(p[junk])) ++junk;
    if (junk > 0) input.Consume(junk);
  }
  const char* data = input.Data();
  const std::size_t size = input.Size();
  if (size == 0) return TResult::NeedMore;

  // Find the blank line that ends the header block.
  if (bodyStart_ == 0) {
    std::size_t pos = lineScan_;
    for (;;) {
      const void* nl = pos < size ? std::memchr(data + pos, '\n', size - pos) : nullptr;
      if (nl == nullptr) {
        if (size > kMaxHeaderBlock) return Fail("Header block exceeds 65536 bytes");
        lineScan_ = pos;
        return TResult::NeedMore;
      }
      const std::size_t lineEnd = static_cast<std::size_t>(static_cast<const char*>(nl) - data);
      const std::string_view line = StripCR(std::string_view(data + pos, lineEnd - pos));
      if (line.empty() && pos > 0) {
        bodyStart_ = lineEnd + 1;
        break;
      }
      pos = lineEnd + 1;
      if (pos > kMaxHeaderBlock) return Fail("Header block exceeds 65536 bytes");
    }
    if (bodyStart_ > kMaxHeaderBlock + 2) return Fail("Header block exceeds 65536 bytes");
    // A NUL inside the header block would end the frame early for a reader
    // that cuts frames at NUL, so it is refused rather than passed on.
    if (std::memchr(data, '\0', bodyStart_) != nullptr) return Fail("NUL byte in the header block");
  }

  // Split the header block (cheap; redone when more body bytes arrive, since
  // the buffer may have moved).
  frame.headers.clear();
  frame.hasContentLength = false;
  std::size_t pos = 0;
  bool first = true;
  while (pos < bodyStart_) {
    const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', bodyStart_ - pos));
    const std::size_t lineEnd = static_cast<std::size_t>(nl - data);
    const std::string_view line = StripCR(std::string_view(data + pos, lineEnd - pos));
    pos = lineEnd + 1;
    if (first) {
      frame.command = line;
      first = false;
      continue;
    }
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail("Malformed header line: " + Printable(line));
    if (colon == 0) return Fail("Empty header name: " + Printable(line));
    frame.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }

  if (const std::string_view* cl = frame.Find("content-length")) {
    if (cl->empty() || cl->size() > 12) return Fail("Invalid content-length: " + Printable(*cl));
    std::size_t length = 0;
    for (char c : *cl) {
      if (c < '0' || c > '9') return Fail("Invalid content-length: " + Printable(*cl));
      length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    if (length > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
    if (size < bodyStart_ + length + 1) return TResult::NeedMore;
    if (data[bodyStart_ + length] != '\0') return Fail("Body is not followed by NUL");
    frame.hasContentLength = true;
    frame.body = std::string_view(data + bodyStart_, length);
    frameLength_ = bodyStart_ + length + 1;
    return TResult::Frame;
  }

  const std::size_t from = bodyStart_ + bodyScan_;
  const void* nul = from < size ? std::memchr(data + from, '\0', size - from) : nullptr;
  if (nul == nullptr) {
    bodyScan_ = size - bodyStart_;
    if (bodyScan_ > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
    return TResult::NeedMore;
  }
  const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - data);
  if (end - bodyStart_ > kMaxFrameBody) return Fail("Body exceeds 16777216 bytes");
  frame.body = std::string_view(data + bodyStart_, end - bodyStart_);
  frameLength_ = end + 1;
  return TResult::Frame;
}

void TBrokerFrameReader::Consume(TByteBuffer& input) {
  input.Consume(frameLength_);
  frameLength_ = 0;
  lineScan_ = 0;
  bodyStart_ = 0;
  bodyScan_ = 0;
}

}  // namespace ks
