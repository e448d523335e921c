// Fuzz target: the content-length scan of a header block
// (TKsStompFrame::GetContentLength and ScanContentLength).
//
// The two must agree with each other and with the integer rule: the scan
// reports the first exact "content-length" line, GetContentLength its 32-bit
// value or 0.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/KsFuzzOracle.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsException.hpp"

using ks::fuzz::FuzzCheck;

namespace {

// The value text of the first exact "content-length" line before the first
// empty line, written independently of the library.
bool FirstContentLength(std::string_view text, std::string_view& value, bool& complete) {
  std::size_t pos = 0;
  complete = false;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) return false;  // no LF: the scan cannot finish
    const std::string_view line = text.substr(pos, lf - pos);
    pos = lf + 1;
    if (line.empty()) {
      complete = true;
      return false;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && line.substr(0, colon) == "content-length") {
      value = line.substr(colon + 1);
      complete = true;
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view expectedValue;
  bool complete = false;
  const bool present = FirstContentLength(text, expectedValue, complete);

  std::int32_t got32 = 0;
  bool raised32 = false;
  try {
    got32 = ks::TKsStompFrame::GetContentLength(text);
  } catch (const ks::Exception&) {
    raised32 = true;
  }
  ks::TKsContentLengthScan scan;
  bool raisedScan = false;
  try {
    scan = ks::TKsStompFrame::ScanContentLength(text);
  } catch (const ks::Exception&) {
    raisedScan = true;
  }
  FuzzCheck(raised32 == raisedScan, "the two scans disagree about raising");
  if (!complete) {
    // A block that ends before a blank line or a content-length line: an
    // error or an answer of 0 is acceptable, a crash is not.
    if (!raised32) FuzzCheck(got32 == 0 && !scan.Present, "value found in an unfinished block");
    return 0;
  }
  FuzzCheck(!raised32, "a complete header block raised");
  FuzzCheck(scan.Present == present, "presence of content-length differs");
  if (!present) {
    FuzzCheck(got32 == 0, "no content-length but not 0");
    return 0;
  }
  const auto v64 = ks::fuzz::ReferenceIntegerRule(expectedValue, 64);
  FuzzCheck(scan.Valid == v64.has_value(), "validity of the 64-bit value differs from the integer rule");
  if (v64) FuzzCheck(scan.Value == *v64, "64-bit value differs from the integer rule");
  const auto v32 = ks::fuzz::ReferenceIntegerRule(expectedValue, 32);
  FuzzCheck(got32 == (v32 ? *v32 : 0), "32-bit value differs from the integer rule");
  return 0;
}
