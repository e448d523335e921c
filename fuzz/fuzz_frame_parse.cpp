// Fuzz target: TKsStompFrame::Parse on arbitrary frame texts.
//
// Besides crashes and sanitizer reports it checks that a parsed frame obeys
// the header-list invariants (one entry per name, no empty value), that it
// is what the plain reference reader makes of the text, that ParseInto into
// one frame reused from input to input gives the same frame, and that a
// frame that can be encoded parses back to the same command, headers and
// body.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/KsFuzzOracle.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsException.hpp"
#include "support/KsText.hpp"

using ks::fuzz::FuzzCheck;

namespace {

bool SameFrame(const ks::IStompFrame& a, const ks::IStompFrame& b) {
  if (a.GetCommand() != b.GetCommand() || a.GetBody() != b.GetBody()) return false;
  const ks::TStompHeaders x = a.GetHeaders();
  const ks::TStompHeaders y = b.GetHeaders();
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i].Name != y[i].Name || x[i].Value != y[i].Value) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<ks::fuzz::TReferenceFrame> expected = ks::fuzz::ReferenceParse(text);
  static ks::TKsStompFrame reused;
  bool reusedParsed = true;
  try {
    ks::TKsStompFrame::ParseInto(text, reused);
  } catch (const ks::Exception&) {
    reusedParsed = false;
  }
  std::shared_ptr<ks::IStompFrame> frame;
  try {
    frame = ks::TKsStompFrame::Parse(text);
  } catch (const ks::Exception&) {
    FuzzCheck(!reusedParsed, "ParseInto read a text that Parse refuses");
    FuzzCheck(!expected.has_value(), "Parse refused a text that the reference reads");
    return 0;  // a clear error is a correct answer to bad input
  }
  FuzzCheck(frame != nullptr, "Parse returned no frame and raised nothing");
  FuzzCheck(reusedParsed && SameFrame(*frame, reused), "ParseInto into a reused frame differs from Parse");
  FuzzCheck(expected.has_value(), "Parse read a text that the reference refuses");
  FuzzCheck(frame->GetCommand() == expected->Command && frame->GetBody() == expected->Body,
            "Parse differs from the reference in command or body");
  FuzzCheck(static_cast<std::size_t>(frame->GetHeaderCount()) == expected->Headers.size(),
            "Parse differs from the reference in the header count");
  for (std::size_t i = 0; i < expected->Headers.size(); ++i) {
    const ks::TStompHeaderItem item = frame->GetHeaderItem(static_cast<std::int32_t>(i));
    FuzzCheck(item.Name == expected->Headers[i].first && item.Value == expected->Headers[i].second,
              "Parse differs from the reference in a header");
  }
  FuzzCheck(!frame->GetCommand().empty(), "parsed frame has an empty command");
  const ks::TStompHeaders headers = frame->GetHeaders();
  FuzzCheck(static_cast<std::int32_t>(headers.size()) == frame->GetHeaderCount(), "header count differs");
  for (std::size_t i = 0; i < headers.size(); ++i) {
    FuzzCheck(!headers[i].Value.empty(), "a header with an empty value was stored");
    for (std::size_t j = i + 1; j < headers.size(); ++j) {
      FuzzCheck(!ks::SameText(headers[i].Name, headers[j].Name), "two entries for one header name");
    }
    FuzzCheck(frame->GetHeader(headers[i].Name) == headers[i].Value, "GetHeader disagrees with GetHeaders");
  }
  const std::string contentLength = frame->GetHeader("content-length");
  std::int32_t n = 0;
  if (!contentLength.empty() && ks::TryStrToInt32(contentLength, n) && n > 0) {
    FuzzCheck(frame->GetBody().size() == static_cast<std::size_t>(n), "body size differs from content-length");
  }

  std::string bytes;
  try {
    bytes = frame->ToBytes();
  } catch (const ks::Exception&) {
    return 0;  // a header or command that would break a frame is refused
  }
  std::shared_ptr<ks::IStompFrame> again;
  try {
    again = ks::TKsStompFrame::Parse(bytes);
  } catch (const ks::Exception& e) {
    FuzzCheck(false, "an encoded frame does not parse again");
  }
  FuzzCheck(again->GetCommand() == frame->GetCommand(), "round trip changed the command");
  FuzzCheck(again->GetBody() == frame->GetBody(), "round trip changed the body");
  const ks::TStompHeaders second = again->GetHeaders();
  FuzzCheck(second.size() == headers.size(), "round trip changed the header count");
  for (std::size_t i = 0; i < headers.size(); ++i) {
    FuzzCheck(second[i].Name == headers[i].Name && second[i].Value == headers[i].Value,
              "round trip changed a header");
  }
  return 0;
}
