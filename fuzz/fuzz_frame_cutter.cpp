// Fuzz target: the transport's frame cutter (TKsFrameCutter) fed from a
// stream stand-in, the way the TCP adapter feeds it from its input buffer.
//
// The same bytes are fed once whole and once in pieces of 1 to 64 bytes
// chosen by the input. The two runs must cut exactly the same frame texts
// and end with the same error, since a frame's bytes may arrive split in any
// way. Every frame text then goes through TKsStompFrame::Parse, as the
// protocol client does. Before each step the one-step cut (CutParsed) runs
// on a copy of the cutter: a frame it cuts must be the unit the general steps
// cut and equal the parser's result for its text; an error it raises must be
// theirs. An input whose first byte has its top four bits set
// is repeated up to 20000 bytes, to reach the header limit, which is set to
// 16384 bytes here (header blocks over it are skipped like bodies). The
// maximum frame size is taken from the input (64 to 4159 bytes, or the
// default), and the unconsumed bytes may never grow past a header block plus
// that size before the cutter hands out a unit: oversized frames are skipped
// as they arrive, once each, in both runs alike. The protocol version whose
// rules the cutter and the parser follow is taken from the input too (1.0
// in half the inputs, 1.1 and 1.2 in a quarter each).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/KsFuzzOracle.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsException.hpp"

using ks::fuzz::FuzzCheck;

namespace {

constexpr std::size_t kMaxHeader = 16384;

struct TCutResult {
  std::vector<std::string> frames;  // empty text: a header block of blanks
  std::vector<std::string> notices;  // one per skipped frame
  std::string error;                // what() of the error that ended the stream
  std::size_t consumed = 0;
};

// A frame the one-step cut parsed must be the unit the general steps cut,
// and what the parser makes of its text: same command, header list and
// body, and no error.
void CheckParsed(const ks::TKsParsedFrame& inPlace, std::size_t fast, ks::TKsFrameCutter::TUnit unit,
                 const std::string& text, std::size_t used, ks::TKsStompVersion version) {
  FuzzCheck(unit == ks::TKsFrameCutter::TUnit::Frame && fast == used, "the one-step cut cut another unit");
  ks::TKsParsedFrame parsed;
  try {
    parsed.Parse(text, version);
  } catch (const ks::Exception&) {
    FuzzCheck(false, "the one-step cut parsed a frame that the parser refuses");
  }
  FuzzCheck(inPlace.Command() == parsed.Command(), "the one-step cut's parse has another command");
  FuzzCheck(inPlace.Body() == parsed.Body(), "the one-step cut's parse has another body");
  FuzzCheck(inPlace.HeaderCount() == parsed.HeaderCount(), "the one-step cut's parse has other headers");
  for (std::size_t i = 0; i < parsed.HeaderCount(); ++i) {
    FuzzCheck(inPlace.Headers()[i] == parsed.Headers()[i], "the one-step cut's parse has other headers");
  }
}

// Feeds bytes to a cutter in pieces (sizes from the generator; 0 = whole).
TCutResult Cut(std::string_view bytes, std::uint32_t seed, bool whole, std::size_t maxFrame,
               ks::TKsStompVersion version) {
  TCutResult result;
  ks::TKsFrameCutter cutter;
  cutter.SetVersion(version);
  cutter.SetMaxFrameSize(maxFrame);
  cutter.SetMaxHeaderSize(kMaxHeader);
  // What may be buffered without a unit: a header block, its LF LF, a body
  // of the limit and its NUL LF, plus the piece that just arrived.
  const std::size_t bound = kMaxHeader + 2 + maxFrame + 2 + 64;
  std::string buffer;  // the stand-in input buffer: buffer[consumed..] is unconsumed
  std::size_t fed = 0;
  std::uint32_t state = seed | 1u;
  std::string frame;
  while (fed < bytes.size()) {
    std::size_t piece = bytes.size() - fed;
    if (!whole) {
      state = state * 1103515245u + 12345u;
      piece = std::min<std::size_t>(piece, 1 + ((state >> 16) % 64));
    }
    buffer.append(bytes.substr(fed, piece));
    fed += piece;
    try {
      for (;;) {
        const std::string_view unconsumed = std::string_view(buffer).substr(result.consumed);
        if (unconsumed.empty()) break;
        // The one-step cut, on a copy: the general steps must agree with it.
        ks::TKsFrameCutter twin = cutter;
        ks::TKsParsedFrame parsed;
        std::size_t fast = 0;
        std::string fastError;
        try {
          fast = twin.CutParsed(unconsumed, parsed);
        } catch (const ks::Exception& e) {
          fastError = e.what();
        }
        if (!fastError.empty()) {
          try {
            (void)cutter.Advance(unconsumed);
          } catch (const ks::Exception& e) {
            FuzzCheck(fastError == e.what(), "the one-step cut raised another error");
            throw;
          }
          FuzzCheck(false, "the one-step cut raised an error the general steps do not");
        }
        if (!cutter.Advance(unconsumed)) {
          FuzzCheck(fast == 0, "the one-step cut found a frame the general steps do not");
          FuzzCheck(whole || unconsumed.size() <= bound, "the buffer grew past the frame limit without a unit");
          break;
        }
        const ks::TKsFrameCutter::TUnit unit = cutter.Unit();
        const std::size_t used = cutter.Take(unconsumed, frame);
        if (fast != 0) CheckParsed(parsed, fast, unit, frame, used, version);
        FuzzCheck(used > 0 && used <= unconsumed.size(), "cutter consumed nothing or too much");
        result.consumed += used;
        ks::TKsSkippedFrame notice;
        if (cutter.TakeNotice(notice)) result.notices.push_back(notice.Text());
        if (unit == ks::TKsFrameCutter::TUnit::Skipped) continue;
        result.frames.push_back(frame);
      }
    } catch (const ks::Exception& e) {
      result.error = e.what();
      return result;
    }
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t seed = data[0] | (static_cast<std::uint32_t>(data[1]) << 8);
  std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  if ((data[0] & 0xF0) == 0xF0 && !bytes.empty()) {
    const std::string unit = bytes;
    while (bytes.size() < 20000) bytes += unit;
  }
  const std::size_t maxFrame = (data[1] & 0x80) != 0 ? 64 + ((data[1] & 0x3F) << 6 | (data[0] & 0x3F))
                                                    : ks::kDefaultMaxFrameSize;
  const int versionBits = (data[1] & 0x40) >> 5 | (data[0] & 1);
  const ks::TKsStompVersion version = versionBits == 2   ? ks::TKsStompVersion::V1_1
                                      : versionBits == 3 ? ks::TKsStompVersion::V1_2
                                                         : ks::TKsStompVersion::V1_0;
  const TCutResult whole = Cut(bytes, seed, true, maxFrame, version);
  const TCutResult pieces = Cut(bytes, seed, false, maxFrame, version);
  FuzzCheck(whole.frames == pieces.frames, "splitting the stream changed the frames cut from it");
  FuzzCheck(whole.notices.size() == pieces.notices.size(), "splitting the stream changed the frames skipped");
  FuzzCheck(whole.error == pieces.error, "splitting the stream changed the error");
  FuzzCheck(whole.consumed == pieces.consumed, "splitting the stream changed the bytes consumed");
  for (const std::string& text : whole.frames) {
    if (text.empty()) continue;
    FuzzCheck(static_cast<unsigned char>(text.front()) > 0x20, "frame text starts with a blank");
    const std::size_t blockEnd = text.find("\n\n");
    FuzzCheck(blockEnd != std::string::npos, "frame text without its header block");
    FuzzCheck(text.size() - blockEnd - 2 <= maxFrame + 2, "a frame over the limit was handed out");
    try {
      if (version == ks::TKsStompVersion::V1_0) {
        (void)ks::TKsStompFrame::Parse(text);
      } else {
        ks::TKsParsedFrame parsed;
        parsed.Parse(text, version);
        ks::TKsParsedFrame unescaped;
        unescaped.Unescape(parsed, version);
      }
    } catch (const ks::Exception&) {
    }
  }
  return 0;
}
