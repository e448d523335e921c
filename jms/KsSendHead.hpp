// KsSendHead: TKsSendHead, the frame head of a producer's usual send,
// written once for the producer's destination instead of header by header
// on every send. The usual send is an own text message with every field at
// its default and no properties, sent without receipt (see
// TKsJMSClient::SendUsual); its head (command line through the empty
// line) depends only on the destination's wire name and on whether the
// protocol version in use is 1.0 (no content type then, and other bytes
// that need care in a value), so both images are kept. An image is empty
// when its frame cannot be written that way (a value that would need an
// escape or break its line): the general send applies then.
//
// Ownership: a value, held by the producer whose destination it names.
// Threads: immutable once made; any thread may read it.
#pragma once

#include <string>
#include <string_view>

#include "stomp/KsStompVersion.hpp"

namespace ks {

class TKsSendHead {
 public:
  TKsSendHead() = default;
  // The images for a usual send to the destination of that wire name.
  explicit TKsSendHead(std::string_view destination);

  // The image for a frame written under version; empty when there is none.
  std::string_view For(TKsStompVersion version) const noexcept {
    return version == TKsStompVersion::V1_0 ? plain_ : typed_;
  }

 private:
  std::string plain_;  // under 1.0
  std::string typed_;  // from 1.1 on
};

}  // namespace ks
