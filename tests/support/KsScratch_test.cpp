#include "support/KsScratch.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

// The kept object is reused with its contents; a lease taken while it is out
// gets a fresh object; an oversized string is dropped when its lease ends.
TEST(KsScratch, ALeaseReusesTheKeptObjectAndANestedLeaseGetsItsOwn) {
  ks::TKsScratch<std::string> scratch;
  const char* kept = nullptr;
  {
    auto lease = scratch.Lease();
    ASSERT_TRUE(lease.Kept());
    lease->assign(100, 'x');
    kept = lease->data();
    auto nested = scratch.Lease();
    EXPECT_FALSE(nested.Kept());
    EXPECT_TRUE(nested->empty());
    EXPECT_NE(nested->data(), kept);
  }
  {
    auto again = scratch.Lease();
    ASSERT_TRUE(again.Kept());
    EXPECT_EQ(again->data(), kept);
    EXPECT_EQ(*again, std::string(100, 'x'));
    again->assign((std::size_t{1} << 20) + 1, 'y');
  }
  auto trimmed = scratch.Lease();
  EXPECT_TRUE(trimmed->empty());
  EXPECT_LE(trimmed->capacity(), std::size_t{1} << 20);
}

}  // namespace
