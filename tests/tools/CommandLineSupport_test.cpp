#include "tools/CommandLineSupport.hpp"

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A small bindable object with every kind the binder knows, and one it does not.
class TOptions {
 public:
  std::int32_t messageCount = 10;
  std::int32_t messageSize = 255;
  std::int64_t big = 0;
  bool verbose = true;
  bool topic = false;
  std::int32_t colour = 0;
  std::string subject = "ExampleQueue";
  std::string user;

  void SetMessageCount(std::int32_t v) { messageCount = v; }
  void SetMessageSize(std::int32_t v) { messageSize = v; }
  void SetBig(std::int64_t v) { big = v; }
  void SetVerbose(bool v) { verbose = v; }
  void SetTopic(bool v) { topic = v; }
  void SetColour(std::int32_t v) { colour = v; }
  void SetSubject(const std::string& v) { subject = v; }
  void SetUser(const std::string& v) { user = v; }

  static std::span<const ks::TPublishedProperty<TOptions>> PublishedProperties();
};

constexpr std::string_view kColours[] = {"Red", "Green", "Blue"};

std::span<const ks::TPublishedProperty<TOptions>> TOptions::PublishedProperties() {
  static const ks::TPublishedProperty<TOptions> table[] = {
      ks::Int32Property("MessageCount", &TOptions::SetMessageCount),
      ks::Int32Property("MessageSize", &TOptions::SetMessageSize),
      ks::Int64Property("Big", &TOptions::SetBig),
      ks::BooleanProperty("Verbose", &TOptions::SetVerbose),
      ks::BooleanProperty("Topic", &TOptions::SetTopic),
      ks::EnumerationProperty("Hue", &TOptions::SetColour, kColours),
      ks::StringProperty("Subject", &TOptions::SetSubject),
      ks::StringProperty("User", &TOptions::SetUser),
      {"Ratio", ks::TPropertyKind::Float},
  };
  return table;
}

std::string Parse(TOptions& options, std::vector<std::string_view> arguments) {
  std::string unparsed = "stale";
  ks::TCommandLineSupport::ParseCommandLine(options, std::span<const std::string_view>(arguments), unparsed);
  return unparsed;
}

std::string MessageOf(TOptions& options, std::vector<std::string_view> arguments) {
  try {
    Parse(options, std::move(arguments));
  } catch (const ks::Exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(CommandLineSupport, NamesValuesAndIgnoredArguments) {
  TOptions o;
  EXPECT_EQ(Parse(o, {"--MessageCount=5", "--messagecount=7"}), "");
  EXPECT_EQ(o.messageCount, 7);  // the later argument wins

  EXPECT_EQ(Parse(o, {"--Message-Size=10", "---Verbose=false", "--subject=a=b", "--User", "--TOPIC"}), "");
  EXPECT_EQ(o.messageSize, 10);
  EXPECT_FALSE(o.verbose);
  EXPECT_EQ(o.subject, "a=b");
  EXPECT_EQ(o.user, "true");  // no "=": the value is "true"
  EXPECT_TRUE(o.topic);

  TOptions d;
  EXPECT_EQ(Parse(d, {"-Topic", "/Topic", "Topic", "-MessageCount=3"}), "");
  EXPECT_FALSE(d.topic);
  EXPECT_EQ(d.messageCount, 10);

  EXPECT_EQ(Parse(d, {"--Subject=", "--Verbose=FALSE", "--Hue=bLUE", "--Big=$FFFFFFFF"}), "");
  EXPECT_EQ(d.subject, "");
  EXPECT_FALSE(d.verbose);
  EXPECT_EQ(d.colour, 2);
  EXPECT_EQ(d.big, -1);  // the 32-bit pattern, sign-extended

  // The argc/argv form skips the program name.
  const char* argv[] = {"--MessageCount=99", "--Topic"};
  TOptions a;
  std::string unparsed;
  ks::TCommandLineSupport::ParseCommandLine(a, 2, argv, unparsed);
  EXPECT_EQ(a.messageCount, 10);
  EXPECT_TRUE(a.topic);
}

TEST(CommandLineSupport, UnparsedArgumentsComeBackAsCommaText) {
  TOptions o;
  EXPECT_EQ(Parse(o, {"--Colour=red", "--", "--=x"}), "--Colour=red,--,--=x");
  EXPECT_EQ(Parse(o, {"--Ratio=0.5", "--Nope=a b", "--Q=say \"hi\"", "--C=1,2", "-x", "--Nope"}),
            "--Ratio=0.5,\"--Nope=a b\",\"--Q=say \"\"hi\"\"\",\"--C=1,2\",--Nope");
  EXPECT_EQ(ks::CommaText({}), "");
  EXPECT_EQ(ks::CommaText({"tab\there"}), "\"tab\there\"");
}

TEST(CommandLineSupport, IntegerValues) {
  TOptions o;
  Parse(o, {"--MessageSize=$FF"});
  EXPECT_EQ(o.messageSize, 255);
  Parse(o, {"--MessageSize=0x10"});
  EXPECT_EQ(o.messageSize, 16);
  Parse(o, {"--MessageSize= 12"});
  EXPECT_EQ(o.messageSize, 12);
  Parse(o, {"--MessageSize=-$10"});
  EXPECT_EQ(o.messageSize, -16);
  Parse(o, {"--MessageSize=$FFFFFFFF"});
  EXPECT_EQ(o.messageSize, -1);

  EXPECT_EQ(MessageOf(o, {"--MessageSize=12 "}), "''12 '' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--MessageSize="}), "'''' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--MessageCount"}), "''true'' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--MessageCount=ten"}), "''ten'' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--MessageCount=2147483648"}), "''2147483648'' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--MessageCount=$100000000"}), "''$100000000'' is not a valid integer value");
  EXPECT_EQ(MessageOf(o, {"--Big=4294967296"}), "''4294967296'' is not a valid integer value");
  EXPECT_THROW(Parse(o, {"--MessageCount=x"}), ks::EConvertError);
  EXPECT_EQ(o.messageSize, -1);  // failed conversions store nothing
}

TEST(CommandLineSupport, EnumerationValues) {
  TOptions o;
  EXPECT_EQ(MessageOf(o, {"--Verbose=0"}), "Invalid property element: 0");
  EXPECT_EQ(MessageOf(o, {"--Verbose=no"}), "Invalid property element: no");
  EXPECT_EQ(MessageOf(o, {"--Verbose= true"}), "Invalid property element:  true");
  EXPECT_EQ(MessageOf(o, {"--Hue=purple"}), "Invalid property element: purple");
  EXPECT_THROW(Parse(o, {"--Topic=yes"}), ks::EPropertyConvertError);
  EXPECT_TRUE(o.verbose);
  EXPECT_FALSE(o.topic);
}

TEST(CommandLineSupport, AnErrorStopsTheLoopWithEarlierArgumentsApplied) {
  TOptions o;
  std::string unparsed = "stale";
  std::vector<std::string_view> args = {"--MessageCount=1", "--Unknown=1", "--MessageSize=big", "--Topic",
                                        "--Subject=later"};
  EXPECT_THROW(ks::TCommandLineSupport::ParseCommandLine(o, std::span<const std::string_view>(args), unparsed),
               ks::EConvertError);
  EXPECT_EQ(o.messageCount, 1);
  EXPECT_EQ(o.messageSize, 255);
  EXPECT_FALSE(o.topic);
  EXPECT_EQ(o.subject, "ExampleQueue");
  EXPECT_EQ(unparsed, "--Unknown=1");

  // SetPropertyValue on its own: unknown and unbindable names answer false.
  EXPECT_FALSE(ks::SetPropertyValue(o, "Ratio", "1"));
  EXPECT_FALSE(ks::SetPropertyValue(o, "", "1"));
  EXPECT_TRUE(ks::SetPropertyValue(o, "SUBJECT", " keep blanks "));
  EXPECT_EQ(o.subject, " keep blanks ");
}

}  // namespace
