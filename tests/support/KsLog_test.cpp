#include "support/KsException.hpp"
#include "support/KsLog.hpp"
#include "support/KsLogFactory.hpp"
#include "support/KsLogger.hpp"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

// Runs action with standard output captured and returns the lines written.
template <typename F>
std::vector<std::string> Captured(F action) {
  testing::internal::CaptureStdout();
  action();
  return Lines(testing::internal::GetCapturedStdout());
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(KsLog, DefaultThresholdWritesInfoAndAboveOnly) {
  ks::TSimpleLogger logger;
  EXPECT_EQ(logger.GetLevel(), ks::LOG_INFO);
  EXPECT_FALSE(logger.IsDebugEnabled());
  EXPECT_TRUE(logger.GetConsoleOutput());
  auto lines = Captured([&] {
    logger.Trace("t");
    logger.Debug("d");
    logger.Info("hello");
    logger.Error("Unknown command FOO in stomp frame");
  });
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(EndsWith(lines[0], " [INFO] hello")) << lines[0];
  EXPECT_TRUE(EndsWith(lines[1], " [ERROR] Unknown command FOO in stomp frame")) << lines[1];
  // The line starts with the local date (and time), never with the label.
  EXPECT_NE(lines[0].front(), '[');
}

TEST(KsLog, ThresholdsAndLabels) {
  ks::TSimpleLogger logger;
  logger.SetLevel(ks::LOG_TRACE);
  EXPECT_TRUE(logger.IsDebugEnabled());
  auto lines = Captured([&] { logger.Trace("x"); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(EndsWith(lines[0], " [TRACE] x"));

  logger.SetLevel(ks::LOG_DEBUG);
  EXPECT_TRUE(logger.IsDebugEnabled());
  EXPECT_TRUE(Captured([&] { logger.Trace("dropped"); }).empty());

  logger.SetLevel(ks::LOG_FATAL);
  lines = Captured([&] {
    logger.Error("e");
    logger.Warn("w");
    logger.Fatal("f");
  });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(EndsWith(lines[0], " [FATAL] f"));

  // Out-of-range levels pass as large unsigned values and have the empty label.
  logger.SetLevel(ks::LOG_INFO);
  lines = Captured([&] { logger.Log("odd", 9); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(EndsWith(lines[0], " [] odd"));
  EXPECT_STREQ(ks::LogLevelLabel(6), "");
  EXPECT_STREQ(ks::LogLevelLabel(3), "WARN");
}

TEST(KsLog, HandlerRunsWithOrWithoutConsoleAndItsErrorsPropagate) {
  ks::TSimpleLogger logger;
  std::vector<std::pair<std::string, ks::TLogLevel>> seen;
  logger.SetOnLog([&](const std::string& text, ks::TLogLevel level) { seen.emplace_back(text, level); });
  EXPECT_TRUE(static_cast<bool>(logger.GetOnLog()));
  logger.SetConsoleOutput(false);
  auto lines = Captured([&] {
    logger.Debug("below");
    logger.Warn("careful");
    logger.Log("odd", 200);
  });
  EXPECT_TRUE(lines.empty());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(std::string("careful"), ks::LOG_WARN));
  EXPECT_EQ(seen[1].second, 200);

  logger.SetConsoleOutput(true);
  lines = Captured([&] { logger.Info("both"); });
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(seen.size(), 3u);

  logger.SetOnLog([](const std::string&, ks::TLogLevel) { throw ks::Exception("handler failed"); });
  EXPECT_THROW(logger.Info("x"), ks::Exception);
  logger.SetOnLog(nullptr);
  EXPECT_FALSE(static_cast<bool>(logger.GetOnLog()));
}

TEST(KsLog, FactoryLoggersAreIndependentAndNonConsoleProgramsStaySilent) {
  auto a = ks::TLogFactory::GetLogger("TKsStompConnection");
  auto b = ks::TLogFactory::GetLogger("TKsStompConnection");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a.get(), b.get());
  a->SetLevel(ks::LOG_TRACE);
  EXPECT_EQ(b->GetLevel(), ks::LOG_INFO);

  ks::SetConsoleProgram(false);
  ks::TSimpleLogger quiet;  // constructing never fails
  EXPECT_FALSE(quiet.GetConsoleOutput());
  try {
    quiet.SetConsoleOutput(false);
    ADD_FAILURE() << "expected an error";
  } catch (const ks::Exception& e) {
    EXPECT_STREQ(e.what(), "No console application");
  }
  // A logger made while console output was allowed stops writing too.
  auto lines = Captured([&] { a->Info("nothing"); });
  ks::SetConsoleProgram(true);
  EXPECT_TRUE(lines.empty());
}

}  // namespace

namespace {

// While an application's sink is set, library lines go there, with their
// level, and not to the console; clearing it brings the console back.
TEST(KsLog, ASinkTakesEveryLibraryLineInsteadOfTheConsole) {
  std::vector<std::pair<ks::TLogLevel, std::string>> taken;
  ks::TLogFactory::SetSink([&taken](ks::TLogLevel level, const std::string& text) { taken.emplace_back(level, text); });
  auto logger = ks::TLogFactory::GetLogger("Test");
  auto printed = Captured([&] {
    logger->Warn("dropped a message");
    logger->Debug("below the threshold");
  });
  ks::TLogFactory::SetSink(nullptr);
  EXPECT_EQ(printed, std::vector<std::string>{});
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].first, ks::LOG_WARN);
  EXPECT_EQ(taken[0].second, "dropped a message");
  printed = Captured([&] { logger->Warn("back on the console"); });
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_TRUE(EndsWith(printed[0], "[WARN] back on the console"));
}

}  // namespace
