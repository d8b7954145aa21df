// Python's email package reads what the message writer produces: decoded
// headers, addresses and part contents must equal what the message held.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "net/mail/IdMessageClient.h"
#include "platform/Stream.h"
#include "tests/support/HostProcess.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// A writer whose connection is a string.
struct CaptureClient : TIdMessageClient {
  CaptureClient() {
    LocaleLanguage = "en";
    TextCharset = "UTF-8";
  }
  void WriteText(const std::string& AText) override { Out += AText; }
  std::string Out;
};

std::string Unhex(const std::string& H) {
  if (H == "-") return "";
  std::string out;
  for (size_t i = 0; i + 1 < H.size(); i += 2)
    out += static_cast<char>(std::stoi(H.substr(i, 2), nullptr, 16));
  return out;
}

std::string Lf(std::string S) {
  for (size_t p; (p = S.find("\r\n")) != std::string::npos;) S.erase(p, 1);
  while (!S.empty() && S.back() == '\n') S.pop_back();
  return S;
}

struct Reading {
  std::map<std::string, std::string> Headers;
  std::vector<std::pair<std::string, std::string>> Addresses(const std::string& Header) const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& a : Mailboxes)
      if (a[0] == Header) out.emplace_back(a[1], a[2]);
    return out;
  }
  std::vector<std::array<std::string, 3>> Mailboxes;
  struct Part {
    std::string Type, FileName, Data, Text;
  };
  std::vector<Part> Parts;
  std::vector<std::string> Defects;
  int LongestHeaderLine = 0;
};

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { Dir = host::MakeTempDir("crv-reader-"); }
  void TearDown() override { host::RemoveTree(Dir); }

  Reading Read(CaptureClient& C, TIdMessage& M) {
    C.Out.clear();
    C.WriteMessage(M);
    Wire = C.Out;
    // What a server stores: the data with the dot-stuffing removed.
    std::string stored = "\r\n" + Wire;
    for (size_t p = 0; (p = stored.find("\r\n..", p)) != std::string::npos; p += 3)
      stored.erase(p + 2, 1);
    const std::string file = Dir + "/message.eml";
    {
      std::ofstream f(file, std::ios::binary);
      f << stored.substr(2);
    }
    // The reader runs on the Linux side also for a Windows test (HostProcess.h).
    Reading r;
    const host::RunResult run =
        host::Run({kPython, CORVALE_SOURCE_DIR "/tests/net/mail/read_message.py", file}, "");
    EXPECT_TRUE(host::ExitedCleanly(run.Status)) << run.Output;
    std::istringstream in(run.Output);
    std::string kind;
    while (in >> kind) {
      if (kind == "L") {
        in >> r.LongestHeaderLine;
      } else if (kind == "H") {
        std::string name;
        std::string value;
        in >> name >> value;
        r.Headers[name] = Unhex(value);
      } else if (kind == "A") {
        std::string h;
        std::string name;
        std::string addr;
        in >> h >> name >> addr;
        r.Mailboxes.push_back({h, Unhex(name), Unhex(addr)});
      } else if (kind == "P") {
        std::string t;
        std::string f;
        std::string d;
        std::string x;
        in >> t >> f >> d >> x;
        r.Parts.push_back({t, Unhex(f), Unhex(d), Unhex(x)});
      } else if (kind == "D") {
        std::string d;
        in >> d;
        r.Defects.push_back(d);
      } else {
        ADD_FAILURE() << "unexpected output: " << run.Output;
        break;
      }
    }
    return r;
  }

  std::string Dir;
  std::string Wire;
};

TEST_F(ReaderTest, ProgramSinglePartHtml) {
  CaptureClient c;
  TIdMessage m;
  m.ContentType = "text/html";
  m.Subject = "Your IP Address is 203.0.113.7";
  m.From.Name = m.Recipients.Add().Name = "Ann Example";
  m.From.Address = m.Recipients[0].Address = "ann@example.test";
  m.Body.Add("<html><body>");
  m.Body.Add("Old IP: 198.51.100.1<br>");
  m.Body.Add("</body></html>");
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  EXPECT_EQ(r.Headers["Subject"], m.Subject);
  EXPECT_EQ(
      r.Addresses("From"),
      (std::vector<std::pair<std::string, std::string>>{{"Ann Example", "ann@example.test"}}));
  EXPECT_EQ(r.Addresses("To"), r.Addresses("From"));
  EXPECT_EQ(r.Headers["X-Priority"], "3");
  ASSERT_EQ(r.Parts.size(), 1u);
  EXPECT_EQ(r.Parts[0].Type, "text/html");
  EXPECT_EQ(r.Parts[0].Data, "<html><body>\r\nOld IP: 198.51.100.1<br>\r\n</body></html>\r\n");
}

TEST_F(ReaderTest, TextPartsAndNonAsciiHeadersUnderUtf8) {
  CaptureClient c;
  TIdMessage m;
  m.Subject =
      "Gr\xC3\xBC\xC3\x9F"
      "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC";
  m.From.Name = "J\xC3\xBCrgen M\xC3\xBCller, Jr.";
  m.From.Address = "jm@example.test";
  m.Recipients.Add().SetText("\"Smith, John\" <js@example.test>");
  m.CCList.Add().SetText("Say \"hi\" <q@example.test>");
  m.Organization = "\xC3\x89quipe Caf\xC3\xA9";
  auto& plain = m.MessageParts.Add<TIdText>();
  plain.Body.Add(
      "Gr\xC3\xBC\xC3\x9F"
      "e, trailing blank ");
  plain.Body.Add(".a line with a leading dot and = sign");
  plain.Body.Add(std::string(150, 'x') + " long");
  plain.Body.Add("");
  auto& html = m.MessageParts.Add<TIdText>();
  html.SetContentType("text/html; charset=utf-8");
  html.Body.Add("<p>caf\xC3\xA9</p>");
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  EXPECT_EQ(r.Headers["Subject"], m.Subject) << Wire;
  EXPECT_EQ(r.Headers["Organization"], m.Organization);
  EXPECT_EQ(r.Addresses("From"),
            (std::vector<std::pair<std::string, std::string>>{{m.From.Name, "jm@example.test"}}));
  EXPECT_EQ(r.Addresses("To"),
            (std::vector<std::pair<std::string, std::string>>{{"Smith, John", "js@example.test"}}));
  EXPECT_EQ(r.Addresses("Cc"),
            (std::vector<std::pair<std::string, std::string>>{{"Say \"hi\"", "q@example.test"}}));
  ASSERT_EQ(r.Parts.size(), 2u);
  EXPECT_EQ(r.Parts[0].Type, "text/plain");
  std::string want;
  for (const auto& l : plain.Body.Lines) want += l + "\n";
  EXPECT_EQ(Lf(r.Parts[0].Data), Lf(want));
  EXPECT_EQ(r.Parts[1].Type, "text/html");
  EXPECT_EQ(Lf(r.Parts[1].Text), "<p>caf\xC3\xA9</p>");
}

TEST_F(ReaderTest, AttachmentsAndRelatedAttachments) {
  std::mt19937 rng(42);
  std::string data(10000, '\0');
  for (char& ch : data) ch = static_cast<char>(rng() & 0xFF);
  {
    TFileStream f(Dir + "/photo.bin", TFileStream::Mode::Create);
    f.WriteString(data);
    TFileStream g(Dir + "/logo.png", TFileStream::Mode::Create);
    g.WriteString("\x89PNG\r\n\x1a\n-tiny");
  }
  for (bool related : {false, true}) {
    CaptureClient c;
    TIdMessage m;
    m.Subject = related ? "related" : "mixed";
    m.From.Address = "a@example.test";
    m.MessageParts.Add<TIdText>().Body.Add("plain text");
    auto& html = m.MessageParts.Add<TIdText>();
    html.SetContentType("text/html");
    html.Body.Add("<img src=\"cid:logo\">");
    auto& a = m.MessageParts.Add<TIdAttachment>();
    a.FileName = Dir + "/photo.bin";
    auto& b = m.MessageParts.Add<TIdAttachment>();
    b.FileName = Dir + "/logo.png";
    b.SetContentType("image/png");
    if (related) b.ExtraHeaders.SetValueOf("Content-ID", "<logo>");
    Reading r = Read(c, m);
    EXPECT_TRUE(r.Defects.empty()) << Wire;
    ASSERT_EQ(r.Parts.size(), 4u) << Wire;
    EXPECT_EQ(r.Parts[0].Type, "text/plain");
    EXPECT_EQ(Lf(r.Parts[0].Text), "plain text");
    EXPECT_EQ(r.Parts[1].Type, "text/html");
    EXPECT_EQ(r.Parts[2].Type, "application/octet-stream");
    EXPECT_EQ(r.Parts[2].FileName, "photo.bin");
    EXPECT_EQ(r.Parts[2].Data, data);
    EXPECT_EQ(r.Parts[3].Type, "image/png");
    EXPECT_EQ(r.Parts[3].FileName, "logo.png");
    EXPECT_EQ(r.Parts[3].Data, "\x89PNG\r\n\x1a\n-tiny");
    EXPECT_TRUE(
        r.Headers["Content-Type"].starts_with(related ? "multipart/related" : "multipart/mixed"));
  }
}

TEST_F(ReaderTest, LongFoldedHeaders) {
  CaptureClient c;
  TIdMessage m;
  for (int i = 0; i < 40; ++i) m.Subject += "word" + std::to_string(i) + " ";
  m.Subject += "end";
  m.From.Address = "a@example.test";
  for (int i = 0; i < 8; ++i) {
    TIdEMailAddressItem& r = m.Recipients.Add();
    r.Name = "Recipient Number " + std::to_string(i);
    r.Address = "r" + std::to_string(i) + "@example.test";
  }
  // Non-ASCII words long enough to need several encoded words.
  for (int i = 0; i < 6; ++i)
    m.Organization +=
        "\xC3\x84rger\xC3\xBC\xC3\x9F"
        "e ";
  m.Organization += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  // The folding rule never leaves a single character on a line of its own,
  // so a last line may reach 79 columns.
  EXPECT_LE(r.LongestHeaderLine, 79) << Wire;
  EXPECT_EQ(r.Headers["Subject"], m.Subject);
  EXPECT_EQ(r.Headers["Organization"], m.Organization) << Wire;
  auto to = r.Addresses("To");
  ASSERT_EQ(to.size(), 8u);
  EXPECT_EQ(to[7], (std::pair<std::string, std::string>{"Recipient Number 7", "r7@example.test"}));
}

TEST_F(ReaderTest, JapaneseUtf8TextsInBase64Words) {
  CaptureClient c;
  c.LocaleLanguage = "ja";
  c.LocaleTerritory = "JP";
  TIdMessage m;
  std::string jp;
  for (int i = 0; i < 15; ++i) jp += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xF0\x9F\x98\x80";
  m.Subject = "IP " + jp;
  m.From.Name = "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E";  // a name with a blank
  m.From.Address = "yamada@example.test";
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  EXPECT_NE(Wire.find("=?UTF-8?B?"), std::string::npos);
  EXPECT_EQ(r.Headers["Subject"], m.Subject) << Wire;
  EXPECT_EQ(r.Addresses("From")[0].first, m.From.Name) << Wire;
  EXPECT_LE(r.LongestHeaderLine, 79) << Wire;
}

TEST_F(ReaderTest, Latin1TextsUnderIso88591) {
  CaptureClient c;
  c.LocaleLanguage = "de";
  c.TextCharset = "CP1252";
  TIdMessage m;
  m.Subject =
      "Gr\xFC\xDF"
      "e aus K\xF6ln";
  m.From.Name = "J\xFCrgen M\xFCller";
  m.From.Address = "jm@example.test";
  m.Recipients.Add().SetText("M\xFCller, Hans <hm@example.test>");
  m.Recipients[0].Name = "M\xFCller, Hans";
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  EXPECT_NE(Wire.find("From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <jm@example.test>\r\n"),
            std::string::npos)
      << Wire;
  EXPECT_EQ(r.Headers["Subject"],
            "Gr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln");
  EXPECT_EQ(r.Addresses("From")[0].first, "J\xC3\xBCrgen M\xC3\xBCller");
  EXPECT_EQ(r.Addresses("To")[0].first, "M\xC3\xBCller, Hans");
  EXPECT_EQ(r.Addresses("To")[0].second, "hm@example.test");
}

// Subjects and organizations long enough for two or three encoded words,
// shifted by one ASCII letter at a time (0 to 5) so that the cuts fall at
// every place within a character and a base64 group, under every header
// charset the writer chooses.
TEST_F(ReaderTest, SubjectsCutIntoSeveralWordsReadBack) {
  struct Case {
    const char* Lang;
    const char* Territory;
    const char* Texts;
    std::string Char;  // one character in the texts' encoding
    std::string Utf8;  // the same character in UTF-8
    const char* Opening;
  } cases[] = {
      {"de", "DE", "CP1252", "\xE9", "\xC3\xA9", "=?ISO-8859-1?Q?"},
      {"de", "DE", "UTF-8", "\xC3\xA9", "\xC3\xA9", "=?UTF-8?Q?"},
      {"ja", "JP", "UTF-8", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "=?UTF-8?B?"},
      {"ja", "JP", "UTF-8", "\xE6\x97\xA5", "\xE6\x97\xA5", "=?UTF-8?B?"},
      {"ja", "JP", "CP932", "\x93\xFA", "\xE6\x97\xA5", "=?ISO-2022-JP?B?"},
      {"zh", "TW", "CP950", "\xA4\x40", "\xE4\xB8\x80", "=?Big5?B?"},
      {"zh", "CN", "CP936", "\xD2\xBB", "\xE4\xB8\x80", "=?GB2312?B?"},
      {"ko", "KR", "CP949", "\xC7\xD1", "\xED\x95\x9C", "=?EUC-KR?B?"},
  };
  for (const Case& k : cases) {
    for (size_t shift = 0; shift < 3; ++shift) {
      CaptureClient c;
      c.LocaleLanguage = k.Lang;
      c.LocaleTerritory = k.Territory;
      c.TextCharset = k.Texts;
      TIdMessage m;
      m.From.Address = "a@example.test";
      std::string text;
      std::string want;
      for (int i = 0; i < 40; ++i) text += k.Char, want += k.Utf8;
      m.Subject = std::string(shift, 'a') + text + " end";
      m.Organization = std::string(shift + 3, 'o') + text;
      Reading r = Read(c, m);
      SCOPED_TRACE(std::string(k.Opening) + " shift " + std::to_string(shift));
      EXPECT_TRUE(r.Defects.empty()) << Wire;
      EXPECT_EQ(r.Headers["Subject"], std::string(shift, 'a') + want + " end") << Wire;
      EXPECT_EQ(r.Headers["Organization"], std::string(shift + 3, 'o') + want) << Wire;
      EXPECT_NE(Wire.find(std::string("\r\n\t") + k.Opening), std::string::npos) << Wire;
      EXPECT_LE(r.LongestHeaderLine, 79) << Wire;
    }
  }
}

TEST_F(ReaderTest, ShiftJisTextsUnderIso2022Jp) {
  CaptureClient c;
  c.LocaleLanguage = "ja";
  c.LocaleTerritory = "JP";
  c.TextCharset = "CP932";
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea";              // 日本語 in Shift-JIS
  const std::string utf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // the same in UTF-8
  TIdMessage m;
  m.ContentType = "text/plain";
  m.CharSet = "charset=ISO-2022-JP";
  std::string subject;
  std::string want;
  for (int i = 0; i < 12; ++i) subject += sjis, want += utf8;
  m.Subject = "IP " + subject + " end";
  m.From.Name = sjis;
  m.From.Address = "ja@example.test";
  m.Body.Add("IP " + sjis);
  Reading r = Read(c, m);
  EXPECT_TRUE(r.Defects.empty()) << Wire;
  EXPECT_EQ(r.Headers["Subject"], "IP " + want + " end") << Wire;
  EXPECT_EQ(r.Addresses("From")[0].first, utf8);
  ASSERT_EQ(r.Parts.size(), 1u);
  EXPECT_EQ(Lf(r.Parts[0].Text), "IP " + utf8);
  for (const std::string& line : {Wire.substr(0, Wire.find("\r\n\r\n"))})
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << "raw ISO-2022-JP in the header";
}

}  // namespace
