// KsBrokerFrameReader: cuts the bytes a client sends into STOMP 1.0 frames.
//
// This is Cistern's own reading of the wire format, written apart from the
// client library's framing on purpose, so that a fault on either side shows
// up as a failure instead of cancelling out.
//
// Accepted: any run of LF, CR, blank, tab or NUL bytes between frames; a
// command line; header lines "name:value" (value untrimmed, cut at the first
// ':'); LF or CR LF line ends; a blank line; then a body that is either
// exactly "content-length" bytes followed by NUL, or everything up to the
// first NUL. Refused (the reader reports an error text, and the connection
// is then answered with ERROR and closed): a header line without ':', an
// empty header name, a NUL byte in the header block, a content-length that
// is not a decimal number, a header block over 64 KiB, a body over 16 MiB, a
// content-length body not followed by NUL.
//
// Ownership: a frame's command, headers and body are views into the input
// buffer; they stay valid until the buffer is next consumed, appended to or
// compacted. Callers copy what they keep.
//
// Threads: one reader per connection, used by the server loop's thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "broker/KsBrokerBuffer.hpp"

namespace ks {

inline constexpr std::size_t kMaxHeaderBlock = 64 * 1024;
inline constexpr std::size_t kMaxFrameBody = 16 * 1024 * 1024;

struct TBrokerFrame {
  std::string_view command;
  std::vector<std::pair<std::string_view, std::string_view>> headers;
  std::string_view body;
  bool hasContentLength = false;

  // The value of the first header with exactly this name, or nullptr.
  const std::string_view* Find(std::string_view name) const;
  // The value, or empty text when there is none.
  std::string_view Get(std::string_view name) const;
};

class TBrokerFrameReader {
 public:
  enum class TResult { Frame, NeedMore, Error };

  // Looks for the next complete frame at the front of input, dropping the
  // bytes between frames. On Frame, the frame is filled and Consume must be
  // called before the next Next (the views stay valid until then). On Error,
  // ErrorText says why; the stream cannot be resynchronised and the
  // connection must end.
  TResult Next(TByteBuffer& input, TBrokerFrame& frame);

  // Drops the frame returned by the last Next from input.
  void Consume(TByteBuffer& input);

  const std::string& ErrorText() const { return error_; }

 private:
  TResult Fail(std::string text);

  std::size_t frameLength_ = 0;  // bytes of the frame last returned
  std::size_t lineScan_ = 0;     // start of the first header line not yet seen
  std::size_t bodyStart_ = 0;    // end of the header block once found, else 0
  std::size_t bodyScan_ = 0;     // body bytes already searched for NUL
  std::string error_;
};

}  // namespace ks
