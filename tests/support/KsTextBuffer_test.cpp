// The byte buffer of a text message's body: inline while small, a block of
// its own once larger.
#include "support/KsTextBuffer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ks {
namespace {

TEST(TextBuffer, KeepsEveryTextWholeAcrossGrowthReuseSelfAssignmentAndCopies) {
  const std::string small(TKsTextBuffer::kInline, 's');
  const std::string large(3 * TKsTextBuffer::kInline + 7, 'L');
  TKsTextBuffer buffer;
  EXPECT_EQ(buffer.View(), "");
  buffer.Assign(small);
  EXPECT_EQ(buffer.View(), small);
  const char* inlineRoom = buffer.Data();
  buffer.Assign(large);
  EXPECT_EQ(buffer.View(), large);
  EXPECT_NE(buffer.Data(), inlineRoom);
  // A later text that fits reuses the grown room; a part of the buffer's own
  // bytes may be assigned to it.
  const char* grownRoom = buffer.Data();
  buffer.Assign("short");
  EXPECT_EQ(buffer.View(), "short");
  EXPECT_EQ(buffer.Data(), grownRoom);
  buffer.Assign(large);
  buffer.Assign(buffer.View().substr(5, 300));
  EXPECT_EQ(buffer.View(), large.substr(5, 300));
  // Copies own their bytes, whether the source's are inline or grown.
  TKsTextBuffer grownCopy(buffer);
  TKsTextBuffer inlineCopy;
  inlineCopy.Assign(small);
  TKsTextBuffer assigned;
  assigned = inlineCopy;
  buffer.Assign("changed");
  inlineCopy.Assign("changed too");
  EXPECT_EQ(grownCopy.View(), large.substr(5, 300));
  EXPECT_EQ(assigned.View(), small);
  EXPECT_NE(assigned.Data(), inlineCopy.Data());
}

}  // namespace
}  // namespace ks
