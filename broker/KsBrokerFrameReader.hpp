// KsBrokerFrameReader: cuts the bytes a client sends into STOMP frames.
//
// The cutting is the same under every protocol version; header names and
// values come out as they are on the wire (the engine unescapes them under
// 1.1 and 1.2), and a CR before a line's LF is dropped under every version.
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
// Each input byte is looked at a bounded number of times however the frame
// is cut into pieces: the reader remembers how far it searched, and splits a
// header block once, when its end has arrived.
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

  // How many input bytes the reader has looked at so far, counted once per
  // look: it stays within a small multiple of the bytes read, however the
  // input is cut into pieces.
  std::size_t Examined() const { return examined_; }

 private:
  // A header line's name and value, as offsets from the frame's start.
  struct TSpan {
    std::size_t nameAt, nameSize, valueAt, valueSize;
  };

  TResult Fail(std::string text);
  TResult FindHeaderEnd(const char* data, std::size_t size);
  TResult SplitHeaders(const char* data);
  TResult Complete(const char* data, std::size_t bodySize, TBrokerFrame& frame);

  std::size_t frameLength_ = 0;  // bytes of the frame last returned
  std::size_t scanned_ = 0;      // header bytes already searched for LF
  std::size_t lineStart_ = 0;    // start of the header line being searched
  std::size_t bodyStart_ = 0;    // end of the header block once found, else 0
  std::size_t bodyScan_ = 0;     // body bytes already searched for NUL
  std::size_t commandSize_ = 0;
  std::size_t contentLength_ = 0;
  bool hasContentLength_ = false;
  std::vector<TSpan> spans_;
  std::size_t examined_ = 0;
  std::string error_;
};

}  // namespace ks
