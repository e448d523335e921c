// Entry point of every test binary: ignores SIGPIPE (a peer that closes
// early must surface as an error, not kill the test) and runs GoogleTest.
#include <csignal>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
