// The runtime helpers every layer leans on: texts, string lists, streams,
// date-times and component ownership.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/Component.h"
#include "platform/DateTime.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "platform/StringList.h"
#include "platform/Text.h"

namespace {

TEST(Text, TrimRemovesControlCharactersAndBlanksOnly) {
  EXPECT_EQ(text::Trim(" \t\r\n a b \x01"), "a b");
  EXPECT_EQ(text::TrimLeft("  a  "), "a  ");
  EXPECT_EQ(text::TrimRight("  a  "), "  a");
  EXPECT_EQ(text::Trim("\xC3\xA9"), "\xC3\xA9");  // bytes above 127 are text
}

TEST(Text, IntegersAreStrict) {
  EXPECT_EQ(text::StrToInt("42"), 42);
  EXPECT_EQ(text::StrToInt("-7"), -7);
  EXPECT_EQ(text::StrToInt("$1F"), 31);
  EXPECT_EQ(text::StrToInt("2147483647"), 2147483647);
  for (const char* bad : {"", " 1", "1 ", "1.5", "abc", "2147483648", "-", "0x"}) {
    try {
      text::StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message, std::string("'") + bad + "' is not a valid integer value");
    }
  }
}

TEST(Text, FetchAndCutUtf8) {
  std::string s = "a.b.c";
  EXPECT_EQ(text::Fetch(s, "."), "a");
  EXPECT_EQ(s, "b.c");
  EXPECT_EQ(text::Fetch(s, "::"), "b.c");
  EXPECT_EQ(s, "");
}

TEST(Text, CutUtf8DropsOnlyTheSequenceItWouldSplit) {
  const std::string e = "\xC3\xA9";             // é: two bytes
  const std::string euro = "\xE2\x82\xAC";      // €: three
  const std::string face = "\xF0\x9F\x98\x80";  // U+1F600: four
  const std::string cont(300, '\x80');          // continuation bytes, no lead
  struct Case {
    std::string In;
    size_t Max;
    std::string Out;
  };
  const Case cases[] = {
      {"ab" + e, 2, "ab"},  // the cut falls on the lead byte
      {"ab" + e, 3, "ab"},
      {"ab" + e, 4, "ab" + e},
      {"a" + euro, 2, "a"},
      {"a" + euro, 3, "a"},
      {"a" + euro, 4, "a" + euro},
      {"a" + face, 2, "a"},
      {"a" + face, 4, "a"},
      {"a" + face, 5, "a" + face},
      {std::string(300, 'x'), 255, std::string(255, 'x')},
      {std::string(254, 'x') + e, 255, std::string(254, 'x')},
      {std::string(255, 'x') + e, 255, std::string(255, 'x')},
      // Not UTF-8: cut at the limit, never shrunk to nothing.
      {cont + "192.0.2.1", 255, cont.substr(0, 255)},
      {"a" + cont, 3, "a\x80\x80"},
      // A complete sequence followed by a stray continuation byte is kept.
      {e + "\x80x", 2, e},
      {e + "\x80x", 3, e + "\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.In.substr(0, 8)) + " max " + std::to_string(c.Max));
    EXPECT_EQ(text::CutUtf8(c.In, c.Max), c.Out);
  }
}

TEST(StringList, TextSplitsAtEveryLineBreakKind) {
  TStringList l;
  l.SetText("a\r\nb\nc\rd\r\n\r\ne");
  EXPECT_EQ(l.Lines, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  EXPECT_THROW(l.Strings(6), EListError);
  EXPECT_THROW(l.Delete(-1), EListError);
  l.Insert(6, "end");  // inserting at the end is allowed
  EXPECT_EQ(l.Strings(6), "end");
}

TEST(Stream, MemoryStreamReadsWritesAndResizes) {
  TMemoryStream m;
  m.WriteString("hello");
  m.SetPosition(1);
  m.WriteString("EL");
  EXPECT_EQ(m.Data, "hELlo");
  char buf[10];
  m.SetPosition(3);
  EXPECT_EQ(m.Read(buf, 10), 2);
  m.SetSize(2);
  EXPECT_EQ(m.Position(), 2);
  EXPECT_THROW(TFileStream("/nonexistent/dir/file", TFileStream::Mode::OpenRead), EInOutError);
}

// A full disk refuses buffered bytes only when they are handed over: Flush
// must say so rather than let the file end short.
TEST(Stream, FlushReportsAWriteTheDiskRefused) {
#ifdef _WIN32
  GTEST_SKIP() << "no always-full device on Windows";
#else
  TFileStream full("/dev/full", TFileStream::Mode::Create);
  EXPECT_EQ(full.Write("abc", 3), 3);  // still in the buffer
  EXPECT_THROW(full.Flush(), EInOutError);
#endif
}

TEST(DateTime, EncodeDecodeRoundTripsOverCenturies) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2026, 12, 6), 46362.0);
  for (int y : {1900, 1999, 2000, 2024, 2100}) {
    for (int m = 1; m <= 12; ++m) {
      for (int d : {1, 28}) {
        int yy;
        int mm;
        int dd;
        DecodeDate(EncodeDate(y, m, d), yy, mm, dd);
        ASSERT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
      }
    }
  }
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);  // a Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);
  int h;
  int n;
  int s;
  int ms;
  DecodeTime(EncodeTime(19, 4, 55, 250), h, n, s, ms);
  EXPECT_EQ(h * 10000 + n * 100 + s, 190455);
  EXPECT_EQ(ms, 250);
  EXPECT_THROW(EncodeDate(2025, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_TRUE(LocalUtcOffsetMinutes().has_value());
}

// The Windows description of a zone: the bias (UTC minus local time) plus the
// bias in force, negated.
TEST(DateTime, BiasInForceIsAddedAndTheSumNegated) {
  struct Case {
    TZoneBias InForce;
    int Bias, Standard, Daylight, Offset;
  } cases[] = {
      {TZoneBias::None, -330, 0, -60, 330},       // India: no daylight saving
      {TZoneBias::Standard, 300, 0, -60, -300},   // New York in winter
      {TZoneBias::Daylight, 300, 0, -60, -240},   // New York in summer
      {TZoneBias::Daylight, -60, 0, -60, 120},    // Berlin in summer
      {TZoneBias::Standard, -570, 30, -30, 540},  // a standard bias of its own
  };
  for (const Case& k : cases)
    EXPECT_EQ(UtcOffsetFromBias(k.InForce, k.Bias, k.Standard, k.Daylight), k.Offset) << k.Bias;
}

struct Probe : TComponent {
  Probe(TComponent* AOwner, std::vector<std::string>* ALog, std::string AName)
      : TComponent(AOwner), Log(ALog) {
    Name = std::move(AName);
  }
  ~Probe() override { Log->push_back(Name); }
  std::vector<std::string>* Log;
};

TEST(Component, OwnerFreesWhatItOwnsLastMadeFirst) {
  std::vector<std::string> log;
  {
    TComponent owner;
    auto* a = TComponent::Create<Probe>(owner, &log, "a");
    TComponent::Create<Probe>(*a, &log, "a.child");
    TComponent::Create<Probe>(owner, &log, "b");
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(owner.FindComponent("b")->Name, "b");
    EXPECT_EQ(owner.FindComponent("a.child"), nullptr);
    {
      Probe local(&owner, &log, "local");  // not owned: goes with its scope
      EXPECT_EQ(owner.ComponentCount(), 3);
    }
    EXPECT_EQ(owner.ComponentCount(), 2);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"local", "b", "a", "a.child"}));
}

}  // namespace
