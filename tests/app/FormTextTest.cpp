// The main window's two text readers alone: the settings file's values by line
// position, and the address between the echo page's markers. The fuzz targets'
// seed corpora (tests/app/corpus) run here too.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "app/EchoReply.h"
#include "app/Outgoing.h"
#include "app/SettingsText.h"
#include "tests/app/AppFuzzInput.h"

namespace {

constexpr size_t kCap = 255;  // the window's text cap

struct SettingsCase {
  const char* What;
  std::string File;
  std::array<std::string, formtext::kSettingsLines> Values;
};

TEST(SettingsText, ValuesAreReadByLinePosition) {
  const std::string x254(254, 'x');
  const SettingsCase cases[] = {
      {"as written",
       "Name          Ann\r\nEmail         a@b.example\r\nSchedule      9000\r\n"
       "Start Min     1\r\nIP            192.0.2.7\r\n",
       {"Ann", "a@b.example", "9000", "1", "192.0.2.7"}},
      // The key is never looked at: only the column after the 14th byte.
      {"foreign keys", "ABCDEFGHIJKLMNv1\r\n12345678901234 v2\r\n", {"v1", " v2", "", "", ""}},
      // CR LF, a bare LF and a bare CR each end one line; CR CR LF is two.
      {"mixed line ends",
       "Name          A\nEmail         B\rSchedule      C\r\r\nIP            D",
       {"A", "B", "C", "", "D"}},
      {"LF then CR is two ends", "Name          A\n\rEmail         B", {"A", "", "B", "", ""}},
      // Fourteen bytes are all key; the fifteenth is the value.
      {"key only and one byte", "Name          \r\nEmail         z\r\n", {"", "z", "", "", ""}},
      {"short line", "Name\r\n", {"", "", "", "", ""}},
      {"empty file", "", {"", "", "", "", ""}},
      {"sixth line ignored", "a\nb\nc\nd\ne\nName          F\n", {"", "", "", "", ""}},
      // Cut to 255 bytes, never inside a UTF-8 sequence: 254 x and a
      // two-byte e-acute is 256 bytes, so the whole character goes.
      {"overlong value",
       "Name          " + std::string(300, 'x'),
       {std::string(255, 'x'), "", "", "", ""}},
      {"cut before a character", "Name          " + x254 + "\xC3\xA9", {x254, "", "", "", ""}},
      {"character that fits",
       "Name          " + std::string(253, 'x') + "\xC3\xA9",
       {std::string(253, 'x') + "\xC3\xA9", "", "", "", ""}},
  };
  for (const SettingsCase& c : cases)
    EXPECT_EQ(formtext::ReadSettingsValues(c.File, kCap), c.Values) << c.What;
}

TEST(SettingsText, StoredValuesCannotAddALine) {
  EXPECT_EQ(formtext::SettingsKey("Start Min"), "Start Min     ");
  EXPECT_EQ(formtext::StoredValue("a\r\nb\rc\nd", kCap), "a  b c d");
  EXPECT_EQ(formtext::StoredValue(std::string(254, 'y') + "\xE2\x82\xAC", kCap),
            std::string(254, 'y'));
}

TEST(SettingsText, LinesAfterTheFifthAreKeptByKey) {
  const std::string five = "a\r\nb\r\nc\r\nd\r\ne\r\n";
  // Keys are the trimmed key column; a blank key column drops the line; a
  // bare LF ends a line here too; the value is cut like the first five.
  auto extra = formtext::TExtraSettings::Read(
      five +
          "Source        one\r\n              orphan\nFuture Key    kept\r\n"
          "Source        two\r\nShort\r\nLong          " +
          std::string(256, 'z'),
      kCap);
  EXPECT_EQ(extra.GetAll("Source"), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(extra.Get("Future Key"), "kept");
  EXPECT_TRUE(extra.Has("Short"));
  EXPECT_EQ(extra.Get("Short", "default"), "");
  EXPECT_EQ(extra.Get("Missing", "default"), "default");
  EXPECT_EQ(extra.Get("Long"), std::string(255, 'z'));
  // Replacing a list keeps its place among the other keys; a value cannot
  // add a line; an empty list removes the key.
  extra.SetAll("Source", {"x\ry", "z"});
  extra.Remove("Long");
  extra.Set("New", "n");
  EXPECT_EQ(extra.Text(kCap),
            "Source        x y\r\nSource        z\r\nFuture Key    kept\r\n"
            "Short         \r\nNew           n\r\n");
  // Nothing after the fifth line: nothing to keep, and the first five lines
  // are never read as extras.
  EXPECT_TRUE(formtext::TExtraSettings::Read(five, kCap).Empty());
  EXPECT_TRUE(formtext::TExtraSettings::Read("Name          x\r\n", kCap).Empty());
}

struct EchoCase {
  const char* What;
  std::string Reply;
  bool Found;
  std::string Value;  // "keep": the value it started with, left as it was
};

const std::string kFiveLines =
    "Name          Ann\r\nEmail         a@b.example\r\nSchedule      9000\r\n"
    "Start Min     1\r\nIP            192.0.2.7\r\n";

// The outgoing server as the settings file's keyed lines give it: none in a
// file of an older build, every field as written, and a value that cannot be
// read as its default (the port's range at its limits).
TEST(OutgoingSettings, ReadFromTheKeyedLines) {
  using outgoing::TSecurity;
  const std::string full =
      "Mail Server   1\r\nMail Host     smtp.example.com\r\nMail Port     465\r\n"
      "Mail Security TLS\r\nMail User     ann@example.com\r\nMail Keep Pw  1\r\n";
  struct Case {
    const char* What;
    std::string Extra;  // the lines after the first five
    outgoing::TOutgoingServer Want;
  } cases[] = {
      {"older file", "", {}},
      {"every field",
       full,
       {true, "smtp.example.com", 465, TSecurity::TLS, "ann@example.com", true}},
      {"off, kept",
       "Mail Server   0\r\nMail Host     h.example\r\n",
       {false, "h.example", 587, TSecurity::StartTLS, "", false}},
      {"port 1", "Mail Port     1\r\n", {false, "", 1, TSecurity::StartTLS, "", false}},
      {"port 65535", "Mail Port     65535\r\n", {false, "", 65535, TSecurity::StartTLS, "", false}},
      {"port 65536", "Mail Port     65536\r\n", {}},
      {"security in any case",
       "Mail Security none\r\n",
       {false, "", 587, TSecurity::None, "", false}},
      {"unknown security", "Mail Security SSL\r\n", {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.What);
    EXPECT_EQ(outgoing::Read(formtext::TExtraSettings::Read(kFiveLines + k.Extra, kCap)), k.Want);
  }
}

// A server written into a file with a key of another build reads back
// exactly; an older reader's view (the first five lines) and the other key
// are unchanged; the password line goes unless the user chose to keep it.
TEST(OutgoingSettings, WrittenAfterTheFiveLinesAndReadBack) {
  auto extra = formtext::TExtraSettings::Read(
      kFiveLines + "Later Key     v\r\nMail Password hunter2\r\n", kCap);
  // Never set: no lines of its own, and no password left behind.
  outgoing::Write(extra, {});
  EXPECT_EQ(extra.Text(kCap), "Later Key     v\r\n");
  const outgoing::TOutgoingServer server{true,         "127.0.0.1", 2525, outgoing::TSecurity::None,
                                         "relay user", false};
  outgoing::Write(extra, server);
  const std::string file = kFiveLines + extra.Text(kCap);
  EXPECT_EQ(file, kFiveLines +
                      "Later Key     v\r\nMail Server   1\r\nMail Host     127.0.0.1\r\n"
                      "Mail Port     2525\r\nMail Security None\r\nMail User     relay user\r\n"
                      "Mail Keep Pw  0\r\n");
  EXPECT_EQ(outgoing::Read(formtext::TExtraSettings::Read(file, kCap)), server);
  EXPECT_EQ(formtext::ReadSettingsValues(file, kCap),
            formtext::ReadSettingsValues(kFiveLines, kCap));
}

TEST(OutgoingSettings, ValidateAtTheLimits) {
  using outgoing::TSecurity;
  const outgoing::TOutgoingServer ok{true, "smtp.example.com", 587, TSecurity::StartTLS, "ann",
                                     false};
  const std::string noPort = "The outgoing mail server's port must be a number from 1 to 65535.";
  const std::string notLoopback =
      "Security \"None\" would send the password in clear text: it is allowed only for a server "
      "on this machine (an address such as 127.0.0.1). Choose STARTTLS or TLS.";
  struct Case {
    const char* What;
    std::string Host;
    uint16_t Port;
    TSecurity Security;
    std::string User;
    std::string Message;
  } cases[] = {
      {"as typed", ok.Host, 587, TSecurity::StartTLS, "ann", ""},
      {"port 0", ok.Host, 0, TSecurity::StartTLS, "ann", noPort},
      {"port 1", ok.Host, 1, TSecurity::TLS, "ann", ""},
      {"port 65535", ok.Host, 65535, TSecurity::TLS, "ann", ""},
      {"None, 127.0.0.1", "127.0.0.1", 25, TSecurity::None, "ann", ""},
      {"None, 127.255.255.255", "127.255.255.255", 25, TSecurity::None, "ann", ""},
      {"None, a public name", ok.Host, 25, TSecurity::None, "ann", notLoopback},
      {"None, localhost", "localhost", 25, TSecurity::None, "ann", notLoopback},
      {"None, 128.0.0.1", "128.0.0.1", 25, TSecurity::None, "ann", notLoopback},
      {"None, 127.0.0.256", "127.0.0.256", 25, TSecurity::None, "ann", notLoopback},
      {"None, 127.0.0", "127.0.0", 25, TSecurity::None, "ann", notLoopback},
      {"no host", " ", 587, TSecurity::StartTLS, "ann",
       "Please enter the outgoing mail server's name."},
      {"host with a blank", "smtp example.com", 587, TSecurity::StartTLS, "ann",
       "The outgoing mail server's name \"smtp example.com\" is not a host name."},
      {"no user", ok.Host, 587, TSecurity::StartTLS, "",
       "Please enter the user name of the mail account."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.What);
    EXPECT_EQ(outgoing::Validate({true, k.Host, k.Port, k.Security, k.User, false}), k.Message);
  }
  // The window's text of a port, at the range's limits.
  for (const auto& [text, valid, port] : {std::tuple<const char*, bool, uint16_t>{"0", false, 7},
                                          {"1", true, 1},
                                          {" 65535 ", true, 65535},
                                          {"65536", false, 7},
                                          {"99999", false, 7},
                                          {"", false, 7},
                                          {"+25", false, 7}}) {
    uint16_t got = 7;
    EXPECT_EQ(outgoing::ParsePort(text, got), valid) << text;
    EXPECT_EQ(got, port) << text;
  }
}

TEST(EchoReply, AddressBetweenTheMarkers) {
  const EchoCase cases[] = {
      {"in a page", "<p>BEGINIP203.0.113.7ENDIP</p>\n", true, "203.0.113.7"},
      {"blanks kept", "BEGINIP  192.0.2.1 ENDIP", true, "  192.0.2.1 "},
      {"line breaks trimmed", "BEGINIP\r\n\t192.0.2.44 \r\nENDIP", true, "192.0.2.44"},
      {"break inside refused", "BEGINIP192.0\n.2.1ENDIP", false, "keep"},
      {"DEL at the edge refused", "BEGINIP\t1.2.3.4\x7f ENDIP", false, "keep"},
      // First occurrences, each searched from the start: reversed or touching
      // markers, or only blanks between them, name no address.
      {"reversed", "ENDIP 1.2.3.4 BEGINIP", false, "keep"},
      {"touching", "BEGINIPENDIP", false, "keep"},
      {"only blanks", "BEGINIP   ENDIP", false, "keep"},
      {"only a line break", "BEGINIP\r\nENDIP", false, "keep"},
      {"second pair ignored", "BEGINIPaENDIP BEGINIPbENDIP", true, "a"},
      {"no end", "BEGINIP 1.2.3.4", false, "keep"},
      {"no begin", "1.2.3.4 ENDIP", false, "keep"},
      {"case matters", "beginip1.2.3.4ENDIP", false, "keep"},
      {"empty", "", false, "keep"},
  };
  for (const EchoCase& c : cases) {
    std::string value = "keep";
    EXPECT_EQ(formtext::ExtractAddress(c.Reply, value), c.Found) << c.What;
    EXPECT_EQ(value, c.Value) << c.What;
  }
}

// Every seed must pass through its fuzz target's properties (a broken one
// traps).
TEST(FormTextFuzzCorpus, SeedsPass) {
  struct Target {
    const char* Dir;
    void (*Run)(const uint8_t*, size_t);
  };
  for (const Target& t :
       {Target{"settings", appfuzz::Settings}, Target{"echo", appfuzz::EchoReply}}) {
    int seeds = 0;
    for (const auto& e : std::filesystem::directory_iterator(
             std::filesystem::path(CORVALE_SOURCE_DIR) / "tests/app/corpus" / t.Dir)) {
      std::ifstream f(e.path(), std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(e.path().string());
      t.Run(reinterpret_cast<const uint8_t*>(data.data()), data.size());
      ++seeds;
    }
    EXPECT_GE(seeds, 10) << t.Dir;
  }
}

}  // namespace
