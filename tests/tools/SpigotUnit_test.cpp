#include "tools/SpigotUnit.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "support/KsText.hpp"
#include "tests/tools/KsFakeMessaging.hpp"

namespace ks::test {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

TEST(SpigotUnit, MessageTextsAreCutOrPaddedToTheSize) {
  TSpigot spigot;
  spigot.SetMessageSize(20);
  EXPECT_EQ(spigot.CreateMessageText(0), "Message: 0 sent at: ");
  spigot.SetMessageSize(10);
  EXPECT_EQ(spigot.CreateMessageText(3), "Message: 3");
  spigot.SetMessageSize(0);
  EXPECT_EQ(spigot.CreateMessageText(1), "");
  spigot.SetMessageSize(-4);
  EXPECT_EQ(spigot.CreateMessageText(1), "");

  spigot.SetMessageSize(255);
  std::string text = spigot.CreateMessageText(12);
  EXPECT_EQ(Utf8Length(text), 255u);
  EXPECT_EQ(text.rfind("Message: 12 sent at: ", 0), 0u);
  EXPECT_EQ(text.back(), ' ');
  EXPECT_NE(text[21], ' ');  // the time stamp follows the prefix
}

TEST(SpigotUnit, OptionsDefaultsNamesAndBinding) {
  TSpigot spigot;
  EXPECT_EQ(spigot.GetURL(), "stomp://localhost:61613");
  EXPECT_EQ(spigot.GetSubject(), "ExampleQueue");
  EXPECT_EQ(spigot.GetMessageCount(), 10);
  EXPECT_TRUE(spigot.GetVerbose());
  EXPECT_EQ(spigot.GetDestinationTypeName(), "queue");
  EXPECT_EQ(spigot.GetDeliveryModeName(), "non-persistent");
  EXPECT_EQ(TSpigot::PublishedProperties().size(), 12u);

  const char* argv[] = {"Spigot",         "--url=stomp://h:1", "--Message-Size=7", "--topic",       "--Subject=s",
                        "--Persistent",   "--SleepTime=-5",    "--TimeToLive=9",   "--MessageCount=$10",
                        "--Transacted",   "--Verbose=false",   "--Password=p",     "--User=u"};
  std::string unparsed;
  TCommandLineSupport::ParseCommandLine(spigot, 13, argv, unparsed);
  EXPECT_EQ(unparsed, "");
  EXPECT_EQ(spigot.GetURL(), "stomp://h:1");
  EXPECT_EQ(spigot.GetMessageSize(), 7);
  EXPECT_TRUE(spigot.GetTopic());
  EXPECT_EQ(spigot.GetSubject(), "s");
  EXPECT_TRUE(spigot.GetPersistent());
  EXPECT_EQ(spigot.GetSleepTime(), -5);
  EXPECT_EQ(spigot.GetTimeToLive(), 9);
  EXPECT_EQ(spigot.GetMessageCount(), 16);
  EXPECT_TRUE(spigot.GetTransacted());
  EXPECT_FALSE(spigot.GetVerbose());
  EXPECT_EQ(spigot.GetPassword(), "p");
  EXPECT_EQ(spigot.GetUser(), "u");
  EXPECT_EQ(spigot.GetDestinationTypeName(), "topic");
  EXPECT_EQ(spigot.GetDeliveryModeName(), "persistent");

  // A binding error ends Run before anything is printed.
  TSpigot failing;
  const char* bad[] = {"Spigot", "--MessageCount=ten"};
  testing::internal::CaptureStdout();
  try {
    failing.Run(2, bad);
    ADD_FAILURE() << "expected an error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "''ten'' is not a valid integer value");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SpigotUnit, SendLoopAnnouncesSendsCommitsAndPauses) {
  TJournal journal;
  auto session = std::make_shared<TFakeSession>(journal);
  auto producer = std::make_shared<TFakeProducer>(journal);
  TSpigot spigot;
  spigot.SetMessageSize(60);
  spigot.SetMessageCount(3);
  spigot.SetTransacted(true);
  spigot.SetSleepTime(30);
  testing::internal::CaptureStdout();
  auto begin = std::chrono::steady_clock::now();
  spigot.SendMessages(session, producer);
  auto elapsed = std::chrono::steady_clock::now() - begin;
  auto lines = SplitLines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].rfind("Sending message: Message: " + std::to_string(i) + " sent at: ", 0), 0u);
    EXPECT_EQ(lines[i].size(), std::string("Sending message: ").size() + 53);
    EXPECT_EQ(lines[i].substr(lines[i].size() - 3), "...");
  }
  ASSERT_EQ(journal.size(), 6u);
  for (std::size_t i = 0; i < 6; i += 2) {
    EXPECT_EQ(journal[i].rfind("Send: Message: ", 0), 0u);
    EXPECT_EQ(journal[i + 1], "Commit");
  }
  EXPECT_GE(elapsed, std::chrono::milliseconds(90));

  // Quiet, untransacted, without a pause for a negative sleep time; nothing
  // at all for a count of 0.
  journal.clear();
  spigot.SetVerbose(false);
  spigot.SetTransacted(false);
  spigot.SetSleepTime(-5);
  spigot.SetMessageSize(0);
  testing::internal::CaptureStdout();
  spigot.SendMessages(session, producer);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(journal, (TJournal{"Send: ", "Send: ", "Send: "}));
  journal.clear();
  spigot.SetMessageCount(0);
  spigot.SendMessages(session, producer);
  EXPECT_TRUE(journal.empty());
}

}  // namespace
}  // namespace ks::test
