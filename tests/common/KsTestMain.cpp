// Entry point of every test binary: ignores SIGPIPE (a peer that closes
// early must surface as an error, not kill the test) and runs GoogleTest.
// A run in which every case was skipped and none failed ends with the line
// "All cases skipped.", which ctest takes for a skipped run (see
// tests/CMakeLists.txt).
#include <csignal>
#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
  if (run.skipped_test_count() > 0 && run.successful_test_count() == 0 &&
      run.failed_test_count() == 0 && !run.ad_hoc_test_result().Failed())
    std::printf("All cases skipped.\n");
  return status;
}
