#include "stomp/KsStompFrame.hpp"

#include <gtest/gtest.h>

#include "tests/common/KsTestUtil.hpp"

#include <string>

using namespace ks;
using namespace std::string_literals;

using ks::test::ErrorOf;

namespace {


}  // namespace

TEST(StompFrame, HeaderListKeepsOneEntryPerNameInInsertionOrder) {
  TKsStompFrame f;
  f.SetHeader("ack", "auto");
  f.SetHeader("id", "7");
  f.SetHeader("ACK", "client");
  ASSERT_EQ(f.GetHeaderCount(), 2);
  EXPECT_EQ(f.GetHeaderItem(0).Name, "ack");
  EXPECT_EQ(f.GetHeaderItem(0).Value, "client");
  EXPECT_EQ(f.GetHeader("Ack"), "client");

  f.SetHeader("receipt", "");
  EXPECT_EQ(f.GetHeaderCount(), 2);
  f.SetHeader("receipt", "r1");
  f.SetHeader("RECEIPT", "");
  EXPECT_EQ(f.GetHeaderCount(), 2);
  EXPECT_EQ(f.GetHeader("receipt"), "");

  f.RemoveHeader("ID");
  ASSERT_EQ(f.GetHeaderCount(), 1);
  TStompHeaders all = f.GetHeaders();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].Name, "ack");

  EXPECT_EQ(ErrorOf<EKsStompError>([&] { f.GetHeaderItem(-1); }), "Index out of bounds");
  EXPECT_EQ(ErrorOf<EKsStompError>([&] { f.GetHeaderItem(f.GetHeaderCount()); }), "Index out of bounds");
}

TEST(StompFrame, ToBytesIsByteExact) {
  TKsStompFrame send;
  send.SetCommand("SEND");
  send.SetHeader("destination", "/queue/a");
  send.SetHeader("content-length", "2");
  send.SetBody("hi");
  std::string bytes = send.ToBytes();
  EXPECT_EQ(bytes, "SEND\ndestination:/queue/a\ncontent-length:2\n\nhi\0\n"s);
  EXPECT_EQ(bytes.size(), 48u);

  TKsStompFrame disconnect;
  disconnect.SetCommand("DISCONNECT");
  EXPECT_EQ(disconnect.ToBytes(), "DISCONNECT\n\n\0\n"s);
  EXPECT_EQ(disconnect.ToBytes().size(), 14u);

  // AppendBytes appends to what is there.
  std::string out = "x";
  disconnect.AppendBytes(out);
  EXPECT_EQ(out, "xDISCONNECT\n\n\0\n"s);

  // The body goes out unchanged, NUL and all; values may hold ':' and '='.
  TKsStompFrame binary;
  binary.SetCommand("SEND");
  binary.SetHeader("k", "a:b=c");
  binary.SetBody("\0\n\r"s);
  EXPECT_EQ(binary.ToBytes(), "SEND\nk:a:b=c\n\n\0\n\r\0\n"s);
}

TEST(StompFrame, BytesThatWouldBreakTheFrameAreRefusedBeforeWriting) {
  const char* badValues[] = {"a\nb", "a\rb"};
  for (const char* v : badValues) {
    TKsStompFrame f;
    f.SetCommand("SEND");
    f.SetHeader("destination", v);
    std::string out = "keep";
    EXPECT_THROW(f.AppendBytes(out), EKsStompError) << v;
    EXPECT_EQ(out, "keep");
    EXPECT_THROW(f.ToBytes(), EKsStompError);
  }
  TKsStompFrame nul;
  nul.SetCommand("SEND");
  nul.SetHeader("x", "a\0b"s);
  EXPECT_THROW(nul.ToBytes(), EKsStompError);

  const std::string badNames[] = {"a:b", "a\nb", "a\rb", "a\0b"s};
  for (const std::string& n : badNames) {
    TKsStompFrame f;
    f.SetCommand("SEND");
    f.SetHeader(n, "v");
    EXPECT_THROW(f.ToBytes(), EKsStompError);
  }

  TKsStompFrame cmd;
  cmd.SetCommand("SEND\ninjected:1");
  EXPECT_THROW(cmd.ToBytes(), EKsStompError);

  // The view encoder applies the same checks.
  TKsHeaderView views[] = {{"destination", "/q"}, {"evil", "1\n\nSEND"}};
  std::string out;
  EXPECT_THROW(TKsStompFrame::AppendFrameBytes(out, "SEND", views, 2, ""), EKsStompError);
  EXPECT_TRUE(out.empty());
  TKsStompFrame::AppendFrameBytes(out, "SEND", views, 1, "b");
  EXPECT_EQ(out, "SEND\ndestination:/q\n\nb\0\n"s);

  // Every breaking byte at every position of names and values of 1 to 19
  // bytes (the checks read eight bytes at a time, then the rest one by one);
  // bytes next to them in value (0x01, 0x0B, 0x3B, 0x80, 0xFF) pass.
  for (std::size_t length = 1; length < 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (char bad : {'\n', '\r', '\0', ':'}) {
        std::string text(length, 'k');
        text[at] = bad;
        TKsHeaderView asName[] = {{text, "v"}};
        TKsHeaderView asValue[] = {{"name", text}};
        std::string sink;
        EXPECT_THROW(TKsStompFrame::AppendFrameBytes(sink, "SEND", asName, 1, ""), EKsStompError)
            << "name of " << length << " bytes, byte " << at;
        if (bad != ':') {
          EXPECT_THROW(TKsStompFrame::AppendFrameBytes(sink, "SEND", asValue, 1, ""), EKsStompError)
              << "value of " << length << " bytes, byte " << at;
        } else {
          EXPECT_NO_THROW(TKsStompFrame::AppendFrameBytes(sink, "SEND", asValue, 1, ""));
        }
      }
      for (char near : {'\x01', '\x0B', '\x3B', '\x80', '\xFF'}) {
        std::string text(length, 'k');
        text[at] = near;
        TKsHeaderView both[] = {{text, text}};
        std::string sink;
        EXPECT_NO_THROW(TKsStompFrame::AppendFrameBytes(sink, "SEND", both, 1, ""));
        EXPECT_EQ(sink, "SEND\n" + text + ":" + text + "\n\n\0\n"s);
      }
    }
  }
}

TEST(StompFrame, ParseReadsHeadersAndBody) {
  auto f = TKsStompFrame::Parse("MESSAGE\ndestination:/q\nkey:a:b\nKEY:c\nempty:\n\nhello\0\n"s);
  EXPECT_EQ(f->GetCommand(), "MESSAGE");
  ASSERT_EQ(f->GetHeaderCount(), 2);
  EXPECT_EQ(f->GetHeaderItem(1).Name, "key");
  EXPECT_EQ(f->GetHeaderItem(1).Value, "c");
  EXPECT_EQ(f->GetBody(), "hello");

  // Embedded NUL survives with a content-length.
  auto bin = TKsStompFrame::Parse("MESSAGE\ncontent-length:3\n\na\0b\0\n"s);
  EXPECT_EQ(bin->GetBody(), "a\0b"s);

  // Without content-length and without NUL LF the whole rest is the body.
  auto open = TKsStompFrame::Parse("MESSAGE\nx:1\n\nrest of it"s);
  EXPECT_EQ(open->GetBody(), "rest of it");
  // Without content-length the body ends at the first NUL LF.
  auto cut = TKsStompFrame::Parse("MESSAGE\n\nab\0\ncd\0\n"s);
  EXPECT_EQ(cut->GetBody(), "ab");

  // A CR before the LF stays in the value.
  auto crlf = TKsStompFrame::Parse("CONNECTED\r\nsession:1\r\n\n\0\n"s);
  EXPECT_EQ(crlf->GetCommand(), "CONNECTED\r");
  EXPECT_EQ(crlf->GetHeader("session"), "1\r");

  // Non-ASCII values round-trip.
  TKsStompFrame out;
  out.SetCommand("SEND");
  out.SetHeader("name", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC");
  auto back = TKsStompFrame::Parse(out.ToBytes());
  EXPECT_EQ(back->GetHeader("name"), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC");
}

TEST(StompFrame, ParseContentLengthRules) {
  // Not a number: empty body.
  auto abc = TKsStompFrame::Parse("MESSAGE\ncontent-length:abc\n\nxyz\0\n"s);
  EXPECT_EQ(abc->GetBody(), "");
  // Any spelling of the name counts in Parse.
  auto spelled = TKsStompFrame::Parse("MESSAGE\nContent-Length:2\n\nxy\0\n"s);
  EXPECT_EQ(spelled->GetBody(), "xy");
  // A negative length reads as 0 instead of cutting past the text.
  auto negative = TKsStompFrame::Parse("MESSAGE\ncontent-length:-5\n\nxy\0\n"s);
  EXPECT_EQ(negative->GetBody(), "");
  auto allBits = TKsStompFrame::Parse("MESSAGE\ncontent-length:$FFFFFFFF\n\nxy\0\n"s);
  EXPECT_EQ(allBits->GetBody(), "");

  // content-length 5 with a body area of 6 bytes.
  std::string msg = ErrorOf<EAssertionFailed>([] { TKsStompFrame::Parse("MESSAGE\ncontent-length:5\n\nabcd\0\n"s); });
  EXPECT_EQ(msg.rfind("frame too short (KsStompFrame, line ", 0), 0u) << msg;
  // Exactly n + 2 is enough.
  EXPECT_EQ(TKsStompFrame::Parse("MESSAGE\ncontent-length:5\n\nabcde\0\n"s)->GetBody(), "abcde");
}

TEST(StompFrame, ParseFailures) {
  EXPECT_EQ(ErrorOf<EKsStompError>([] { TKsStompFrame::Parse("MESSAGE\nkey\n\n\0\n"s); }), "header line error key");
  std::string empty = ErrorOf<EAssertionFailed>([] { TKsStompFrame::Parse("\nkey:v\n\n\0\n"s); });
  EXPECT_EQ(empty.rfind("Empty Command (KsStompFrame, line ", 0), 0u) << empty;
  // A header block that never ends runs out of text.
  std::string open = ErrorOf<EAssertionFailed>([] { TKsStompFrame::Parse("MESSAGE\nkey:v"s); });
  EXPECT_EQ(open.rfind("From out of bound.", 0), 0u) << open;
}

TEST(StompFrame, ParseIntoAReusedFrameEqualsAFreshParse) {
  // One frame object takes texts of changing shape, including ones that
  // fail halfway; after each good text it equals a fresh Parse.
  const std::string texts[] = {
      "MESSAGE\ndestination:/q\nmessage-id:ID:a-very-long-message-identifier-1\nsubscription:s1\n\nfirst\0\n"s,
      "MESSAGE\nmessage-id:2\n\nsecond"s,                    // fewer headers, no NUL LF
      "MESSAGE\nkey\n\n\0\n"s,                                // fails: a header line without ':'
      "RECEIPT\nA:1\nb:2\na:\nB:3\nc:4\n\n\0\n"s,             // removal and replacement by folded name
      "MESSAGE\ncontent-length:3\n\na\0b\0\n"s,
      "MESSAGE\nkey:v"s,                                     // fails: the header block never ends
      "CONNECTED\nsession:1\n\n"s,
  };
  TKsStompFrame reused;
  for (const std::string& text : texts) {
    std::shared_ptr<IStompFrame> fresh;
    try {
      fresh = TKsStompFrame::Parse(text);
    } catch (const Exception&) {
      EXPECT_THROW(TKsStompFrame::ParseInto(text, reused), Exception) << text;
      continue;
    }
    TKsStompFrame::ParseInto(text, reused);
    EXPECT_EQ(reused.GetCommand(), fresh->GetCommand()) << text;
    EXPECT_EQ(reused.GetBody(), fresh->GetBody()) << text;
    ASSERT_EQ(reused.GetHeaderCount(), fresh->GetHeaderCount()) << text;
    for (std::int32_t i = 0; i < fresh->GetHeaderCount(); ++i) {
      EXPECT_EQ(reused.GetHeaderItem(i).Name, fresh->GetHeaderItem(i).Name) << text;
      EXPECT_EQ(reused.GetHeaderItem(i).Value, fresh->GetHeaderItem(i).Value) << text;
    }
  }
  auto folded = TKsStompFrame::Parse(texts[3]);
  ASSERT_EQ(folded->GetHeaderCount(), 2);
  EXPECT_EQ(folded->GetHeaderItem(0).Name, "b");
  EXPECT_EQ(folded->GetHeaderItem(0).Value, "3");
  EXPECT_EQ(folded->GetHeaderItem(1).Name, "c");
}

TEST(StompFrame, ContentLengthScan) {
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\ncontent-length:12\n\n"), 12);
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\nContent-Length:5\n\n"), 0);
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\ncontent-length:abc\n\n"), 0);
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\nx:1\n\ncontent-length:9\n"), 0);
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\ncontent-length:0x10\n\n"), 16);
  EXPECT_EQ(TKsStompFrame::GetContentLength("MESSAGE\ncontent-length:9999999999\n\n"), 0);

  TKsContentLengthScan none = TKsStompFrame::ScanContentLength("MESSAGE\nx:1\n\n");
  EXPECT_FALSE(none.Present);
  TKsContentLengthScan big = TKsStompFrame::ScanContentLength("MESSAGE\ncontent-length:9999999999\n\n");
  EXPECT_TRUE(big.Present);
  EXPECT_TRUE(big.Valid);
  EXPECT_EQ(big.Value, 9999999999LL);
  TKsContentLengthScan neg = TKsStompFrame::ScanContentLength("MESSAGE\ncontent-length:-1\n\n");
  EXPECT_TRUE(neg.Valid);
  EXPECT_EQ(neg.Value, -1);
  TKsContentLengthScan bad = TKsStompFrame::ScanContentLength("MESSAGE\ncontent-length:99999999999999999999\n\n");
  EXPECT_TRUE(bad.Present);
  EXPECT_FALSE(bad.Valid);
  EXPECT_EQ(bad.Value, 0);
}

TEST(StompFrame, GetLineMovesPastTheLineFeed) {
  std::int32_t pos = 1;
  EXPECT_EQ(TKsStompFrame::GetLine("ab\r\ncd\n", pos), "ab\r");
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(TKsStompFrame::GetLine("ab\r\ncd\n", pos), "cd");
  EXPECT_EQ(pos, 8);
  EXPECT_THROW(TKsStompFrame::GetLine("ab\r\ncd\n", pos), EAssertionFailed);  // past the end
  pos = 1;
  EXPECT_THROW(TKsStompFrame::GetLine("", pos), EAssertionFailed);
  pos = 1;
  std::string msg = ErrorOf<EAssertionFailed>([&] { TKsStompFrame::GetLine("abc", pos); });
  EXPECT_EQ(msg.rfind("End of Line not found.", 0), 0u);
}

TEST(StompFrame, HeaderViewListFollowsTheFrameRules) {
  TKsHeaderViewList list;
  list.Set("destination", "/q");
  list.Set("content-length", "5");
  list.Set("Destination", "/other");
  list.Set("CONTENT-LENGTH", "");
  list.Set("x", "");
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list.Data()[0].first, "destination");
  EXPECT_EQ(list.Data()[0].second, "/other");
}

TEST(StompFrame, FromVersionOneOneHeadersAreEscapedAndReadBackByteForByte) {
  TKsStompFrame frame;
  frame.SetCommand("SEND");
  frame.SetHeader("k:ey", " a:b\nc\\d ");
  frame.SetHeader("cr", "x\ry");
  std::string v12;
  frame.AppendBytes(v12, TKsStompVersion::V1_2);
  EXPECT_EQ(v12, "SEND\nk\\cey: a\\cb\\nc\\\\d \ncr:x\\ry\n\n\0\n"s);
  // 1.1 has no escape for CR; 1.0 has none at all, and is unchanged.
  std::string v11;
  EXPECT_EQ(ErrorOf<EKsStompError>([&] { frame.AppendBytes(v11, TKsStompVersion::V1_1); }),
            "Invalid character in value of header cr");
  EXPECT_TRUE(v11.empty());
  EXPECT_EQ(ErrorOf<EKsStompError>([&] { frame.ToBytes(); }), "Invalid character in header name k:ey");

  // Read back: the views keep the escapes until Unescape resolves them;
  // nothing is trimmed.
  TKsParsedFrame parsed;
  parsed.Parse(v12, TKsStompVersion::V1_2);
  ASSERT_TRUE(parsed.Escaped());
  TKsParsedFrame plain;
  plain.Unescape(parsed, TKsStompVersion::V1_2);
  ASSERT_EQ(plain.HeaderCount(), 2u);
  EXPECT_EQ(plain.Headers()[0].first, "k:ey");
  EXPECT_EQ(plain.Headers()[0].second, " a:b\nc\\d ");
  EXPECT_EQ(plain.Headers()[1].second, "x\ry");

  // An escape the version does not define spoils the frame.
  for (const auto& [text, version] : {std::pair{"MESSAGE\na:x\\ty\n\n\0\n"s, TKsStompVersion::V1_2},
                                      std::pair{"MESSAGE\na:x\\\n\n\0\n"s, TKsStompVersion::V1_2},
                                      std::pair{"MESSAGE\na:x\\ry\n\n\0\n"s, TKsStompVersion::V1_1}}) {
    parsed.Parse(text, version);
    EXPECT_EQ(ErrorOf<EKsStompError>([&] { plain.Unescape(parsed, version); }),
              "Undefined escape sequence in value of header a")
        << text;
  }
  // Under 1.0 a backslash is an ordinary byte.
  parsed.Parse("MESSAGE\na:x\\ty\n\n\0\n"s);
  EXPECT_FALSE(parsed.Escaped());
}

TEST(StompFrame, FromVersionOneOneTheFirstOfRepeatedHeadersCountsAndOneTwoReadsCrLf) {
  const std::string repeated = "MESSAGE\na:1\nA:2\n\nbody\0\n"s;
  TKsParsedFrame parsed;
  parsed.Parse(repeated);
  EXPECT_EQ(*parsed.Find("a"), "2");
  parsed.Parse(repeated, TKsStompVersion::V1_1);
  EXPECT_EQ(*parsed.Find("a"), "1");

  const std::string crLf = "MESSAGE\r\na:b\r\ncontent-length:4\r\n\r\nbo\0y\0\n"s;
  parsed.Parse(crLf, TKsStompVersion::V1_2);
  EXPECT_EQ(parsed.Command(), "MESSAGE");
  EXPECT_EQ(*parsed.Find("a"), "b");
  EXPECT_EQ(parsed.Body(), "bo\0y"s);
}
