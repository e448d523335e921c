// Cistern's frame reader on its own: frames that arrive in small pieces.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "broker/KsBrokerFrameReader.hpp"

namespace {

using ks::TBrokerFrame;
using ks::TBrokerFrameReader;
using ks::TByteBuffer;

// Feeds text in pieces of piece bytes until the reader returns a frame;
// the frame's command, header count, last header value and body size, or
// "error" / "incomplete".
std::string FeedInPieces(TBrokerFrameReader& reader, const std::string& text, std::size_t piece) {
  TByteBuffer input;
  TBrokerFrame frame;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    input.Append(std::string_view(text).substr(at, piece));
    const auto result = reader.Next(input, frame);
    if (result == TBrokerFrameReader::TResult::Error) return "error " + reader.ErrorText();
    if (result == TBrokerFrameReader::TResult::Frame) {
      std::string got = std::string(frame.command) + " " + std::to_string(frame.headers.size()) + " " +
                        std::string(frame.headers.back().second) + " " + std::to_string(frame.body.size());
      reader.Consume(input);
      return got;
    }
  }
  return "incomplete";
}

}  // namespace

// However a frame is cut into pieces, each of its bytes is looked at a
// bounded number of times (a big header block is not split again for every
// piece of the body), and the frame read is the frame sent, though the input
// buffer moved while it grew.
TEST(CisternReader, FramesInSmallPiecesCostTimeLinearInTheirSize) {
  std::string headers;
  for (int n = 0; headers.size() < 60000; ++n) headers += "h" + std::to_string(n) + ":value " + std::to_string(n) + "\n";
  const std::string body(100000, 'b');
  struct TCase {
    const char* what;
    std::string text;
    std::string expected;
  };
  const std::size_t count = static_cast<std::size_t>(std::count(headers.begin(), headers.end(), '\n'));
  const std::string last = "value " + std::to_string(count - 1);
  const TCase cases[] = {
      {"body up to NUL", "SEND\n" + headers + "\n" + body + std::string(1, '\0'),
       "SEND " + std::to_string(count) + " " + last + " 100000"},
      {"content-length body", "SEND\n" + headers + "content-length:100000\n\n" + body + std::string(1, '\0'),
       "SEND " + std::to_string(count + 1) + " 100000 100000"},
      {"one long header line", "SEND\nlong:" + std::string(60000, 'x') + "\n\nbody" + std::string(1, '\0'),
       "SEND 1 " + std::string(60000, 'x') + " 4"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TBrokerFrameReader reader;
    EXPECT_EQ(FeedInPieces(reader, c.text, 7), c.expected);
    EXPECT_LE(reader.Examined(), 4 * c.text.size());
  }
}
