// End-to-end tests of what an operator drives in both programs: the help,
// the naming of arguments that bind to no option, and the orderly end on
// SIGINT and SIGTERM.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/KsE2eSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

const std::string kSpigot = BuiltProgram("tools/Spigot");
const std::string kSiphon = BuiltProgram("tools/Siphon");

TEST(Operator, HelpListsEveryOptionAndEndsWithoutConnecting) {
  struct TCase {
    std::string program;
    std::vector<std::string> options;
  };
  const std::vector<TCase> cases = {
      {kSpigot,
       {"URL", "MessageSize", "Topic", "Subject", "Persistent", "SleepTime", "TimeToLive", "MessageCount",
        "Transacted", "Verbose", "Password", "User"}},
      {kSiphon,
       {"AckMode", "ClientId", "ConsumerName", "Durable", "MaximumMessages", "Password", "PauseBeforeShutdown",
        "ReceiveTimeOut", "SleepTime", "Subject", "Topic", "Transacted", "URL", "User", "Verbose"}},
  };
  TKsScriptedPeer broker;  // sees any connection attempt
  for (const TCase& c : cases) {
    for (const std::string ask : {"--help", "--HELP", "-h"}) {
      SCOPED_TRACE(c.program + " " + ask);
      // Standard input stays open: a Spigot that ran would wait for Enter.
      TKsProcess program(c.program, {"--URL=" + broker.Url(), ask});
      auto lines = program.ReadAll(10s);
      ASSERT_EQ(program.Wait(5s), 0);
      for (const std::string& name : c.options) {
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind("  --" + name + " ", 0) == 0; });
        ASSERT_NE(line, lines.end()) << name << " is not listed";
        // Name, type, default (a word, or "(empty)") and a meaning.
        std::istringstream words(*line);
        std::vector<std::string> parts{std::istream_iterator<std::string>(words), {}};
        ASSERT_GE(parts.size(), 4u) << *line;
        EXPECT_TRUE(parts[1] == "string" || parts[1] == "integer" || parts[1] == "Boolean") << *line;
      }
    }
  }
  EXPECT_FALSE(broker.WaitAccepted(200ms)) << "a program asked for help connected";
}

TEST(Operator, ArgumentsThatBindToNoOptionAreNamedOnStandardError) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  char errors[] = "/tmp/ks-operator-XXXXXX";
  const int fd = ::mkstemp(errors);
  ASSERT_GE(fd, 0);
  ::close(fd);
  // Standard error into the file, standard output to the test.
  TKsProcess spigot("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>" + std::string(errors), kSpigot, "--URL=" + broker.Url(),
                                "--MesageCount=1000000", "-Topic", "--MessageCount=1", "--Verbose=false"});
  spigot.WriteInput("\n");
  auto lines = spigot.ReadAll(30s);
  EXPECT_EQ(spigot.Wait(10s), 0);
  std::ifstream file(errors);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(errors);
  EXPECT_EQ(text, "Ignored arguments (no such option): --MesageCount=1000000,-Topic\n");
  // Everything else as before: one message to the queue, and done.
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Publishing a Message with size 255 to queue: ExampleQueue");
  EXPECT_EQ(lines[4], "Done.");
}

TEST(Operator, StopSignalsCloseTheConnectionAsUsualAndEndWithTheSignalsStatus) {
  struct TCase {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    int signal;
    std::vector<std::string> commands;  // every frame the program sent
  };
  const std::vector<TCase> cases = {
      // Waiting in a long receive after a committed message; the
      // transaction still open is rolled back.
      {"timed loop", kSiphon, {"--MaximumMessages=0", "--ReceiveTimeOut=60000", "--AckMode=SESSION_TRANSACTED"},
       SIGINT,
       {"CONNECT", "BEGIN", "SUBSCRIBE", "ACK", "COMMIT", "BEGIN", "UNSUBSCRIBE", "ABORT", "BEGIN", "DISCONNECT"}},
      {"listener mode", kSiphon, {"--MaximumMessages=0"}, SIGTERM,
       {"CONNECT", "SUBSCRIBE", "UNSUBSCRIBE", "DISCONNECT"}},
      // Pausing between messages.
      {"spigot", kSpigot, {"--SleepTime=60000", "--MessageCount=5"}, SIGINT, {"CONNECT", "SEND", "DISCONNECT"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedBroker broker;
    auto args = c.args;
    args.insert(args.begin(), "--URL=" + broker.Url());
    TKsProcess program(c.program, args);
    if (c.program == kSiphon) {
      const std::string id = TScriptedBroker::Header(broker.Expect("SUBSCRIBE"), "id");
      ASSERT_FALSE(id.empty());
      broker.Deliver(id, "m1", "first");
      ASSERT_TRUE(program.ReadUntil("Received: first", kLineWait).has_value());
    } else {
      ASSERT_FALSE(broker.Expect("SEND").empty());
    }
    program.Signal(c.signal);
    const auto frames = broker.Rest();
    EXPECT_EQ(Commands(frames), c.commands);
    EXPECT_FALSE(TScriptedBroker::Header(frames.back(), "receipt").empty()) << "DISCONNECT asked for no receipt";
    const auto lines = program.ReadAll(10s);
    EXPECT_EQ(program.Wait(10s), 128 + c.signal);
    if (c.program == kSiphon) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), "Closing connection");
    } else {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done."), 0);
    }
  }
}

}  // namespace
}  // namespace ks::test
