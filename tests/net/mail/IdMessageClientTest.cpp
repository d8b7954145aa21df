#include "net/mail/IdMessageClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "net/mail/IdCoder.h"
#include "net/transport/IdGlobal.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "tests/support/TestEnv.h"

namespace {

// A writer whose connection is a string.
struct CaptureClient : TIdMessageClient {
  CaptureClient() {
    LocaleLanguage = "en";
    TextCharset = "UTF-8";
  }
  void WriteText(const std::string& AText) override { Out += AText; }
  std::string Out;
};

std::vector<std::string> Lines(const std::string& S) {
  std::vector<std::string> out;
  size_t p = 0;
  while (p < S.size()) {
    size_t e = S.find("\r\n", p);
    if (e == std::string::npos) e = S.size();
    out.push_back(S.substr(p, e - p));
    p = e + 2;
  }
  return out;
}

// The wire text may hold no bare CR or LF and never the end-of-data mark.
void ExpectTransparent(const std::string& Wire) {
  for (size_t i = 0; i < Wire.size(); ++i) {
    if (Wire[i] == '\r') {
      ASSERT_TRUE(i + 1 < Wire.size() && Wire[i + 1] == '\n') << "bare CR at " << i;
    }
    if (Wire[i] == '\n') {
      ASSERT_TRUE(i > 0 && Wire[i - 1] == '\r') << "bare LF at " << i;
    }
  }
  EXPECT_EQ(("\r\n" + Wire).find("\r\n.\r\n"), std::string::npos);
  for (const std::string& l : Lines(Wire))
    if (!l.empty() && l[0] == '.') {
      EXPECT_TRUE(l.size() > 1 && l[1] == '.') << l;
    }
}

void FillProgramMessage(TIdMessage& m) {
  m.ContentType = "text/html";
  m.Recipients.Add();
  m.Subject = "Your IP Address is 203.0.113.7";
  m.From.Name = "Ann";
  m.From.Address = "ann@example.test";
  m.Recipients[0].Name = "Ann";
  m.Recipients[0].Address = "ann@example.test";
  m.Body.Add("<html><body>");
  m.Body.Add("Old IP: 198.51.100.1<br>");
  m.Body.Add("New IP: 203.0.113.7<br>");
  m.Body.Add("</body></html>");
}

TEST(MessageWriter, ProgramMessageHasItsEightLineForm) {
  CaptureClient c;
  TIdMessage m;
  FillProgramMessage(m);
  c.WriteMessage(m);
  std::vector<std::string> l = Lines(c.Out);
  ASSERT_EQ(l.size(), 12u) << c.Out;
  EXPECT_EQ(l[0], "From: \"Ann\" <ann@example.test>");
  EXPECT_EQ(l[1], "Subject: Your IP Address is 203.0.113.7");
  EXPECT_EQ(l[2], "To: \"Ann\" <ann@example.test>");
  EXPECT_EQ(l[3], "Content-Type: text/html;");
  EXPECT_TRUE(std::regex_match(
      l[4], std::regex(R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? )"
                       R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                       R"(\d\d:\d\d:\d\d [+-]\d{4})")))
      << l[4];
  EXPECT_EQ(l[5], "X-Priority: 3");
  EXPECT_EQ(l[6], "X-Library: Corvale Net 1.0");
  EXPECT_EQ(l[7], "");
  EXPECT_EQ(l[8], "<html><body>");
  EXPECT_EQ(l[11], "</body></html>");
  EXPECT_EQ(c.Out.substr(c.Out.size() - 2), "\r\n");

  // Written again: the same lines (the date aside), the message unchanged.
  CaptureClient c2;
  c2.WriteMessage(m);
  std::vector<std::string> l2 = Lines(c2.Out);
  l[4] = l2[4] = "";
  EXPECT_EQ(l, l2);
  EXPECT_EQ(m.ContentType, "text/html");
}

TEST(MessageWriter, ContentTypeAndCharset) {
  struct Case {
    std::string ContentType, CharSet, Line;
  } cases[] = {
      {"text/html", "", "Content-Type: text/html;"},
      {"text/plain", "charset=\"UTF-8\"", "Content-Type: text/plain;charset=\"UTF-8\""},
      {"", "charset=us-ascii", "Content-Type: charset=us-ascii"},
      {"", "", ""},
  };
  for (const Case& k : cases) {
    CaptureClient c;
    TIdMessage m;
    m.ContentType = k.ContentType;
    m.CharSet = k.CharSet;
    auto h = c.BuildHeaderList(m);
    int i = h->IndexOfHeader("Content-Type");
    if (k.Line.empty()) {
      EXPECT_EQ(i, -1);
    } else {
      ASSERT_GE(i, 0);
      EXPECT_EQ(h->Strings(i), k.Line);
    }
    EXPECT_EQ(h->IndexOfHeader("MIME-Version"), -1);
  }
}

TEST(MessageWriter, HeaderOrderPriorityAndLists) {
  CaptureClient c;
  TIdMessage m;
  m.From.Address = "f@x";
  m.Recipients.Add().SetText("A <a@x>");
  m.Recipients.Add().SetText("b@x");
  m.CCList.Add().SetText("Smith, John <js@x>");
  m.NewsGroups.Add("comp.mail");
  m.NewsGroups.Add("with blank");
  m.NewsGroups.Add("q\"uote");
  m.Sender.SetText("S <s@x>");
  m.ReplyTo.Add().SetText("r@x");
  m.Organization = "Org";
  m.ReceiptRecipient.SetText("R <rr@x>");
  m.References = "<id@x>";
  m.Priority = mpHighest;
  m.ExtraHeaders.Add("X-Extra: yes");
  m.MessageParts.Add<TIdText>();
  m.MessageParts.Add<TIdText>();
  m.Date = EncodeDate(2026, 12, 6) + EncodeTime(19, 4, 55, 0);
  auto h = c.BuildHeaderList(m);
  std::vector<std::string> names;
  names.reserve(h->Count());
  for (int i = 0; i < h->Count(); ++i) names.push_back(h->NameAt(i));
  std::vector<std::string> want = {
      "FROM",         "TO",     "CC",         "NEWSGROUPS",   "CONTENT-TYPE",
      "MIME-VERSION", "SENDER", "REPLY-TO",   "ORGANIZATION", "DISPOSITION-NOTIFICATION-TO",
      "REFERENCES",   "DATE",   "X-PRIORITY", "X-LIBRARY",    "X-EXTRA"};
  EXPECT_EQ(names, want);
  EXPECT_EQ(h->ValueOf("To"), "\"A\" <a@x>, b@x");
  EXPECT_EQ(h->ValueOf("Cc"), "\"Smith, John\" <js@x>");
  EXPECT_EQ(h->ValueOf("Newsgroups"), "comp.mail,\"with blank\",\"q\"\"uote\"");
  EXPECT_EQ(h->ValueOf("Sender"), "S <s@x>");
  EXPECT_EQ(h->ValueOf("X-Priority"), "1");
  EXPECT_EQ(h->ValueOf("Content-Type"), std::string(mime::kAlternativeType) + ";");
  EXPECT_TRUE(h->ValueOf("Date").starts_with("Sun, 6 Dec 2026 19:04:55 ")) << h->ValueOf("Date");

  TIdMessage one;
  one.NewsGroups.Add("");
  EXPECT_EQ(c.BuildHeaderList(one)->ValueOf("Newsgroups"), "\"\"");
}

TEST(MessageWriter, FormatAddress) {
  CaptureClient c;
  THeaderCharset latin{THeaderTransfer::Bit8, 'Q', "ISO-8859-1"};
  c.TextCharset = "CP1252";
  struct Case {
    std::string Name, Out;
  } cases[] = {
      {"", "a@x"},
      {"Smith, John", "\"Smith, John\" <a@x>"},
      {R"(Say "hi" \o/)", R"("Say \"hi\" \\o/" <a@x>)"},
      {"J\xFCrgen M\xFCller", "=?ISO-8859-1?Q?J=FCrgen_M=FCller?= <a@x>"},
      {"M\xFCller, Hans", "=?ISO-8859-1?Q?M=FCller=2C?= Hans <a@x>"},
  };
  for (const Case& k : cases) {
    TIdEMailAddressItem i;
    i.Name = k.Name;
    i.Address = "a@x";
    EXPECT_EQ(c.FormatAddress(i, latin), k.Out);
  }
}

TEST(EncodeHeaderText, Examples) {
  CaptureClient c;
  c.TextCharset = "CP1252";
  THeaderCharset latin{THeaderTransfer::Bit8, 'Q', "ISO-8859-1"};
  EXPECT_EQ(c.EncodeHeaderText("Gr\xFC\xDF"
                               "e aus K\xF6ln",
                               "", latin),
            "=?ISO-8859-1?Q?Gr=FC=DFe?= aus =?ISO-8859-1?Q?K=F6ln?=");
  EXPECT_EQ(c.EncodeHeaderText("plain text stays", "", latin), "plain text stays");
  EXPECT_EQ(c.EncodeHeaderText("a=b?c_d \xE9", "", latin), "a=b?c_d =?ISO-8859-1?Q?=E9?=");
  EXPECT_EQ(c.EncodeHeaderText("\xE9=?_", "", latin), "=?ISO-8859-1?Q?=E9=3D=3F=5F?=");
  // A long run continues in a new word after "?=", CR LF and a TAB.
  std::string longText;
  for (int i = 0; i < 30; ++i) longText += "\xE9t\xE9 ";
  std::string enc = c.EncodeHeaderText(longText, "", latin);
  for (const std::string& line : Lines(enc)) {
    EXPECT_LE(line.size(), 76u) << line;
    EXPECT_TRUE(line.starts_with("=?ISO-8859-1?Q?") || line.starts_with("\t=?ISO-8859-1?Q?"));
  }
  EXPECT_GT(Lines(enc).size(), 1u);
}

// Where a run of encoded words breaks. A word's running length starts at its
// opening plus 2 for the closing "?="; a piece (Q: a byte's one or three
// characters, B: a group of four characters for three bytes) that would take
// it past 75 goes into a new word after "?=", CR LF and a TAB. Openings:
// =?ISO-8859-1?Q? and =?ISO-8859-1?B? are 15 characters (58 payload
// characters, 14 groups = 42 bytes); =?UTF-8?Q? and =?UTF-8?B? are 10 (63, 15
// groups = 45 bytes); =?Big5?B? is 9 (16 groups = 48 bytes). A multi-byte
// character stays whole: the word ends before it (B: last group padded).
TEST(EncodeHeaderText, WhereWordsBreak) {
  const THeaderCharset latinQ{THeaderTransfer::Bit8, 'Q', "ISO-8859-1"};
  const THeaderCharset latinB{THeaderTransfer::Bit8, 'B', "ISO-8859-1"};
  const THeaderCharset utf8Q{THeaderTransfer::Bit8, 'Q', "UTF-8"};
  const THeaderCharset utf8B{THeaderTransfer::Bit8, 'B', "UTF-8"};
  const THeaderCharset big5B{THeaderTransfer::Bit8, 'B', "Big5"};
  const THeaderCharset jisB{THeaderTransfer::Iso2022Jp, 'B', "ISO-2022-JP"};
  const std::string A = "\xE9";
  const std::string U = "\xC3\xBC";
  const std::string Emoji = "\xF0\x9F\x98\x80";
  const std::string Yi = "\xA4\x40";
  const std::string LQ = "=?ISO-8859-1?Q?";
  const std::string LB = "=?ISO-8859-1?B?";
  const std::string UQ = "=?UTF-8?Q?";
  const std::string UB = "=?UTF-8?B?";
  const std::string BB = "=?Big5?B?";
  const std::string JB = "=?ISO-2022-JP?B?";
  const std::string Next = "?=\r\n\t";
  auto x = [](int N, char C) { return std::string(static_cast<size_t>(N), C); };
  auto rep = [](int N, const std::string& S) {
    std::string r;
    for (int i = 0; i < N; ++i) r += S;
    return r;
  };
  struct Case {
    const char* Name;
    const char* Texts;  // the encoding of the message's texts
    THeaderCharset Cs;
    std::string In, Out;
  } cases[] = {
      {"Q 74", "CP1252", latinQ, A + x(54, 'a'), LQ + "=E9" + x(54, 'a') + "?="},
      {"Q 75", "CP1252", latinQ, A + x(55, 'a'), LQ + "=E9" + x(55, 'a') + "?="},
      {"Q 76", "CP1252", latinQ, A + x(56, 'a'), LQ + "=E9" + x(55, 'a') + Next + LQ + "a?="},
      {"Q escape at 75", "CP1252", latinQ, x(55, 'a') + A, LQ + x(55, 'a') + "=E9?="},
      {"Q escape past 75", "CP1252", latinQ, x(56, 'a') + A, LQ + x(56, 'a') + Next + LQ + "=E9?="},
      // Eight words of eight characters and their blanks ("_") in one run:
      // the seventh word's "j" would be the 59th payload character.
      {"Q words of a run", "CP1252", latinQ, rep(8, "d\xE9j\xE0 ") + "ok",
       LQ + rep(6, "d=E9j=E0_") + "d=E9" + Next + LQ + "j=E0_d=E9j=E0?= ok"},
      {"Q plain words between runs", "CP1252", latinQ,
       "Gr\xFC\xDF"
       "e aus K\xF6ln",
       LQ + "Gr=FC=DFe?= aus " + LQ + "K=F6ln?="},
      {"Q UTF-8 75", "UTF-8", utf8Q, x(57, 'a') + U, UQ + x(57, 'a') + "=C3=BC?="},
      // The byte rule would end the word after =C3; the character moves whole.
      {"Q UTF-8 character at the cut", "UTF-8", utf8Q, x(58, 'a') + U,
       UQ + x(58, 'a') + Next + UQ + "=C3=BC?="},
      {"Q UTF-8 words", "UTF-8", utf8Q, "K\xC3\xB6ln und M\xC3\xBCnchen",
       UQ + "K=C3=B6ln?= und " + UQ + "M=C3=BCnchen?="},
      {"B 14 groups", "CP1252", latinB, rep(42, A), LB + rep(14, "6enp") + "?="},
      {"B 15th group", "CP1252", latinB, rep(43, A), LB + rep(14, "6enp") + Next + LB + "6Q==?="},
      {"B UTF-8 15 groups", "UTF-8", utf8B, rep(22, U) + "a", UB + rep(7, "w7zDvMO8") + "w7xh?="},
      {"B UTF-8 16th group", "UTF-8", utf8B, rep(22, U) + "ab",
       UB + rep(7, "w7zDvMO8") + "w7xh" + Next + UB + "Yg==?="},
      // 23 ü are 46 bytes: the 15th group would end inside the 23rd.
      {"B UTF-8 character at the cut", "UTF-8", utf8B, rep(23, U),
       UB + rep(7, "w7zDvMO8") + "w7w=" + Next + UB + "w7w=?="},
      {"B UTF-8 four-byte characters", "UTF-8", utf8B, rep(12, Emoji),
       UB + rep(3, "8J+YgPCfmIDwn5iA") + "8J+YgPCfmIA=" + Next + UB + "8J+YgA==?="},
      {"B Big5 75", "CP950", big5B, rep(24, Yi), BB + rep(8, "pECkQKRA") + "?="},
      // After one byte "a" the 16th group would end inside the 24th character.
      {"B Big5 character at the cut", "CP950", big5B, "a" + rep(24, Yi),
       BB + "YaRA" + rep(7, "pECkQKRA") + "pEA=" + Next + BB + "pEA=?="},
      // Each word is converted on its own: ESC $ B, two bytes per character
      // (Shift-JIS 93 FA is 46 7C), ESC ( B. 18 characters make 42 bytes.
      {"B ISO-2022-JP", "CP932", jisB, rep(19, "\x93\xfa"),
       JB + "GyRC" + rep(6, "RnxGfEZ8") + "GyhC" + Next + JB + "GyRCRnwbKEI=?="},
  };
  for (const Case& k : cases) {
    CaptureClient c;
    c.TextCharset = k.Texts;
    EXPECT_EQ(c.EncodeHeaderText(k.In, "", k.Cs), k.Out) << k.Name;
    for (const std::string& line : Lines(k.Out)) EXPECT_LE(line.size(), 76u) << k.Name;
  }
}

// The header list keeps the writer's CR LF TAB between encoded words as the
// fold; its own width rule moves the first word after the colon.
TEST(MessageWriter, EncodedWordsContinueAfterATab) {
  CaptureClient c;
  TIdMessage m;
  m.From.Address = "a@x";
  m.Subject = std::string(58, 'a') + "\xC3\xBC end";
  c.WriteMessage(m);
  std::vector<std::string> l = Lines(c.Out.substr(0, c.Out.find("\r\n\r\n")));
  auto subject = std::find(l.begin(), l.end(), "Subject:");
  ASSERT_GE(std::distance(subject, l.end()), 3) << c.Out;
  EXPECT_EQ(subject[1], " =?UTF-8?Q?" + std::string(58, 'a') + "?=");
  EXPECT_EQ(subject[2], "\t=?UTF-8?Q?=C3=BC?= end");
}

// Decodes the payload of one B or Q encoded word.
std::string DecodeWord(const std::string& Word) {
  std::smatch m;
  EXPECT_TRUE(std::regex_match(Word, m, std::regex(R"(=\?([^?]+)\?([BQ])\?([^?]*)\?=)"))) << Word;
  std::string payload = m[3];
  std::string out;
  if (m[2] == "B") {
    TIdBase64Decoder d;
    d.CodeText(payload);
    out = d.EndInput().substr(2);
  } else {
    for (char& ch : payload)
      if (ch == '_') ch = ' ';
    TIdQuotedPrintableDecoder d;
    d.CodeText(payload);
    std::string r = d.EndInput();
    out = r.size() > 2 ? r.substr(2) : "";
  }
  return out;
}

bool ValidUtf8(const std::string& S) {
  size_t i = 0;
  while (i < S.size()) {
    auto c = static_cast<unsigned char>(S[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > S.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(S[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(EncodeHeaderText, Utf8WordsNeverSplitACharacter) {
  CaptureClient c;
  // Three-byte (Japanese) and two-byte (German) characters at every offset
  // relative to the word limit.
  std::string jp = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 日本語
  std::string de = "\xC3\xBC";                              // ü
  for (char letter : {'B', 'Q'}) {
    THeaderCharset cs{THeaderTransfer::Bit8, letter, "UTF-8"};
    for (int pad = 0; pad < 6; ++pad) {
      std::string text = std::string(static_cast<size_t>(pad), 'x');
      for (int i = 0; i < 12; ++i) text += jp + de;
      std::string enc = c.EncodeHeaderText(text, "", cs);
      std::string joined;
      for (std::string line : Lines(enc)) {
        if (line[0] == '\t') line.erase(0, 1);
        EXPECT_LE(line.size(), 75u);
        std::string part = DecodeWord(line);
        EXPECT_TRUE(ValidUtf8(part)) << letter << pad << ": " << line;
        joined += part;
      }
      EXPECT_EQ(joined, text);
    }
  }
}

TEST(EncodeHeaderText, LineBreaksInAValueAreEncoded) {
  CaptureClient c;
  THeaderCharset cs = c.SelectHeaderCharset();
  std::string enc = c.EncodeHeaderText("Hi\r\n.\r\nRCPT to:<evil@x>", "", cs);
  EXPECT_EQ(enc.find_first_of("\r\n"), std::string::npos) << enc;
  EXPECT_EQ(enc, "=?UTF-8?Q?Hi=0D=0A.=0D=0ARCPT?= to:<evil@x>");
}

TEST(SelectHeaderCharset, ByLanguageAndTextEncoding) {
  struct Case {
    const char* Lang;
    const char* Territory;
    const char* Texts;
    THeaderTransfer Transfer;
    char Letter;
    const char* Charset;
  } cases[] = {
      {"en", "US", "UTF-8", THeaderTransfer::Bit8, 'Q', "UTF-8"},
      {"de", "DE", "UTF-8", THeaderTransfer::Bit8, 'Q', "UTF-8"},
      {"ja", "JP", "UTF-8", THeaderTransfer::Bit8, 'B', "UTF-8"},
      {"zh", "TW", "UTF-8", THeaderTransfer::Bit8, 'B', "UTF-8"},
      {"ko", "KR", "UTF-8", THeaderTransfer::Bit8, 'B', "UTF-8"},
      {"zh", "CN", "CP936", THeaderTransfer::Bit8, 'B', "GB2312"},
      {"zh", "TW", "CP950", THeaderTransfer::Bit8, 'B', "Big5"},
      {"ja", "JP", "CP932", THeaderTransfer::Iso2022Jp, 'B', "ISO-2022-JP"},
      {"ko", "KR", "CP949", THeaderTransfer::Bit8, 'B', "EUC-KR"},
      {"fr", "FR", "CP1252", THeaderTransfer::Bit8, 'Q', "ISO-8859-1"},
  };
  for (const Case& k : cases) {
    CaptureClient c;
    c.LocaleLanguage = k.Lang;
    c.LocaleTerritory = k.Territory;
    c.TextCharset = k.Texts;
    THeaderCharset cs = c.SelectHeaderCharset();
    EXPECT_EQ(cs.Transfer, k.Transfer) << k.Lang << k.Texts;
    EXPECT_EQ(cs.Letter, k.Letter) << k.Lang << k.Texts;
    EXPECT_EQ(cs.Charset, k.Charset) << k.Lang << k.Texts;
  }
}

TEST(FormatZoneOffset, SignsAndGmt) {
  const double h = 1.0 / 24;
  const double m = 1.0 / 1440;
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(-5 * h, false), "-0500");
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(0, false), "+0000");
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(0, true), "GMT");
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(5 * h + 30 * m, false), "+0530");
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(5 * h + 30 * m, true), "+0530");
  EXPECT_EQ(TIdMessageClient::FormatZoneOffset(-(3 * h + 30 * m), false), "-0330");
}

TEST(FormatMailDate, UsesTheMachineOffset) {
  if (!testenv::kTzChangesInProcess)
    GTEST_SKIP() << "the time zone is fixed when the process starts here; platform_locale "
                    "checks the offset under several time zones, one process each";
  TDateTime t = EncodeDate(2026, 12, 6) + EncodeTime(19, 4, 55, 0);
  {
    testenv::ScopedTz tz("XXX-1");  // one hour east of UTC, no daylight time
    EXPECT_EQ(TIdMessageClient::FormatMailDate(t), "Sun, 6 Dec 2026 19:04:55 +0100");
    EXPECT_NEAR(LocalUtcOffset(), 1.0 / 24, 1e-9);
  }
  {
    testenv::ScopedTz tz("YYY5");
    EXPECT_EQ(TIdMessageClient::FormatMailDate(EncodeDate(2027, 1, 31)),
              "Sun, 31 Jan 2027 00:00:00 -0500");
  }
}

TEST(ConvertToIso2022Jp, ShiftJisArithmeticAndKana) {
  const std::string J = "\x1b$B";
  const std::string A = "\x1b(B";
  // The JIS X 0208 codes are written as the bytes the tables give, not as the
  // printable characters they happen to be.
  // NOLINTBEGIN(modernize-raw-string-literal)
  struct Case {
    std::string In, Out;
  } cases[] = {
      {"abc", "abc"},
      {"\x93\xfa\x96\x7b", J + "\x46\x7c\x4b\x5c" + A},             // 日本
      {"a\x82\xa0z", "a" + J + "\x24\x22" + A + "z"},               // あ
      {"\xe0\x40", J + "\x5f\x21" + A},                             // first lead of 224
      {"\xa1", J + "\x21\x23" + A},                                 // ｡
      {"\xa6", J + "\x25\x72" + A},                                 // ｦ
      {"\xb6\xde", J + "\x25\x2c" + A},                             // ｶﾞ -> ガ
      {"\xca\xdf", J + "\x25\x51" + A},                             // ﾊﾟ -> パ
      {"\xb3\xde", J + "\x25\x74" + A},                             // ｳﾞ -> ヴ
      {"\xb1\xdf", J + "\x25\x22\x21\x2c" + A},                     // ｱ then ﾟ
      {"\x93", ""},                                                 // lead byte at the end
      {"\x93\x20x", "x"},                                           // bad trail drops the pair
      {std::string("\xf0\x40\x80\xa0\xfd\xfe\xff", 7) + "k", "k"},  // dropped bytes
  };
  // NOLINTEND(modernize-raw-string-literal)
  for (const Case& k : cases) EXPECT_EQ(TIdMessageClient::ConvertToIso2022Jp(k.In), k.Out);
}

TEST(MessageWriter, DotsAndLineBreaksInTheBody) {
  CaptureClient c;
  TIdMessage m;
  m.Body.Add("..x");
  m.Body.Add("x.");
  m.Body.Add("");
  m.Body.Add(".");
  m.Body.Add("a\r\n.\r\nRCPT to:<evil@x>");
  m.Body.Add("b\n.\rc");
  m.Subject = "s\r\n.\r\nRCPT to:<evil@x>";
  m.ExtraHeaders.Add("X-Bad: a\r\nRCPT to:<x>");
  m.ExtraHeaders.Add("");
  c.WriteMessage(m);
  ExpectTransparent(c.Out);
  std::vector<std::string> l = Lines(c.Out);
  auto blank = std::find(l.begin(), l.end(), "");
  ASSERT_NE(blank, l.end());
  std::vector<std::string> header(l.begin(), blank);
  std::vector<std::string> body(blank + 1, l.end());
  for (const std::string& h : header)
    EXPECT_TRUE(h[0] == ' ' || h[0] == '\t' || h.find(": ") != std::string::npos) << h;
  std::vector<std::string> want = {"...x", "x.", "", "..", "a", "..", "RCPT to:<evil@x>",
                                   "b",    "..", "c"};
  EXPECT_EQ(body, want);
}

TEST(MessageWriter, RawHeaderValuesCannotAddAField) {
  CaptureClient c;
  TIdMessage m;
  m.References = "<a@x>\r\nBcc: evil@x";
  m.Sender.Address = "s@x\nX-Evil: 1";
  m.From.Address = "f@x\r\nCc: evil@x";
  m.ContentType = "text/plain\r\nX-Evil: 2";
  c.WriteMessage(m);
  ExpectTransparent(c.Out);
  for (const std::string& l : Lines(c.Out.substr(0, c.Out.find("\r\n\r\n")))) {
    EXPECT_FALSE(l.starts_with("Bcc") || l.starts_with("Cc") || l.starts_with("X-Evil")) << l;
  }
  EXPECT_NE(c.Out.find("References: <a@x>  Bcc: evil@x\r\n"), std::string::npos) << c.Out;
}

TEST(MessageWriter, OneTextPartIsRefusedAfterTheHeader) {
  CaptureClient c;
  TIdMessage m;
  m.MessageParts.Add<TIdText>().Body.Add("only");
  try {
    c.WriteMessage(m);
    FAIL();
  } catch (const EIdTextInvalidCount& e) {
    EXPECT_STREQ(e.what(), "Invalid Text count. TIdText must be greater than 1");
  }
  EXPECT_NE(c.Out.find("X-Library: Corvale Net 1.0\r\n"), std::string::npos);
  EXPECT_EQ(c.Out.find("only"), std::string::npos);
}

TEST(MessageWriter, TextPartsAreQuotedPrintableAndStuffed) {
  CaptureClient c;
  TIdMessage m;
  auto& plain = m.MessageParts.Add<TIdText>();
  // A soft-broken piece that begins with "." must be stuffed as well.
  plain.Body.Add(std::string(75, 'a') + ".\r\n." + std::string(80, 'b'));
  plain.Body.Add("caf\xC3\xA9 ");
  auto& html = m.MessageParts.Add<TIdText>();
  html.SetContentType("text/html");
  html.Body.Add("<p>x</p>");
  c.WriteMessage(m);
  ExpectTransparent(c.Out);
  EXPECT_EQ(plain.GetContentType(), "text/plain");
  EXPECT_EQ(plain.GetContentTransfer(), "quoted-printable");
  std::string o = c.Out;
  EXPECT_NE(o.find("MIME-Version: 1.0\r\n"), std::string::npos);
  EXPECT_NE(o.find("\r\nThis is a multi-part message in MIME format\r\n\r\n--" +
                   std::string(mime::kBoundary) +
                   "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: "
                   "quoted-printable\r\n\r\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("caf=C3=A9=20\r\n"), std::string::npos);
  EXPECT_NE(o.find("\r\n--" + std::string(mime::kBoundary) + "--\r\n"), std::string::npos);
}

class AttachmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = testenv::MakeTempDir("crv-mail-");
    Tmp = std::make_unique<testenv::ScopedVariable>(testenv::kTempDirVariable, Dir.c_str());
  }
  void TearDown() override {
    Tmp.reset();
    std::filesystem::remove_all(Dir);
  }
  int TempFiles() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(Dir))
      if (e.path().filename().string().starts_with("Crv")) ++n;
    return n;
  }
  std::string Dir;
  std::unique_ptr<testenv::ScopedVariable> Tmp;
};

TEST_F(AttachmentTest, EncodedIntoATemporaryFileThatIsRemoved) {
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7);
  {
    TFileStream f(Dir + "/data.bin", TFileStream::Mode::Create);
    f.WriteString(data);
  }
  CaptureClient c;
  TIdMessage m;
  m.Body.Add("see attached");
  auto& a = m.MessageParts.Add<TIdAttachment>();
  a.FileName = Dir + "/data.bin";
  c.WriteMessage(m);
  EXPECT_EQ(TempFiles(), 0);
  EXPECT_TRUE(std::filesystem::path(a.StoredPathName).filename().string().starts_with("Crv"));
  EXPECT_EQ(a.GetContentType(), "application/octet-stream");
  EXPECT_EQ(a.GetContentDisposition(), "attachment");
  EXPECT_EQ(a.GetContentTransfer(), "base64");
  ExpectTransparent(c.Out);
  const std::string o = c.Out;
  EXPECT_NE(o.find("Content-Type: " + std::string(mime::kMixedType) + ";"), std::string::npos);
  EXPECT_NE(o.find("Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
                   "see attached\r\n"),
            std::string::npos);
  size_t head = o.find(
      "Content-Type: application/octet-stream;\r\n        name=\"data.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: "
      "attachment;\r\n        filename=\"data.bin\"\r\n\r\n");
  ASSERT_NE(head, std::string::npos) << o;
  std::string rest = o.substr(o.find("\r\n\r\n", head) + 4);
  std::vector<std::string> l = Lines(rest);
  std::string b64;
  for (const std::string& line : l) {
    if (line.empty()) break;
    EXPECT_LE(line.size(), 76u);
    b64 += line;
  }
  TIdBase64Decoder d;
  d.CodeText(b64);
  EXPECT_EQ(d.EndInput().substr(2), data);
  EXPECT_TRUE(o.ends_with("--" + std::string(mime::kBoundary) + "--\r\n"));
}

TEST_F(AttachmentTest, FileNameIsAQuotedString) {
  if (testenv::kWindows) GTEST_SKIP() << "a Windows file name cannot hold a double quote";
  {
    TFileStream f(Dir + "/say \"hi\".txt", TFileStream::Mode::Create);
    f.WriteString("hi");
  }
  CaptureClient c;
  TIdMessage m;
  m.MessageParts.Add<TIdAttachment>().FileName = Dir + "/say \"hi\".txt";
  c.WriteMessage(m);
  EXPECT_NE(c.Out.find("        name=\"say \\\"hi\\\".txt\"\r\n"), std::string::npos) << c.Out;
  EXPECT_NE(c.Out.find("        filename=\"say \\\"hi\\\".txt\"\r\n"), std::string::npos);
}

TEST_F(AttachmentTest, MissingFileRaisesAndLeavesNoTemporaryFile) {
  CaptureClient c;
  TIdMessage m;
  m.MessageParts.Add<TIdAttachment>().FileName = Dir + "/absent.bin";
  EXPECT_THROW(c.WriteMessage(m), EInOutError);
  EXPECT_EQ(TempFiles(), 0);
}

TEST_F(AttachmentTest, RelatedAttachmentsUseTheRelatedBoundary) {
  {
    TFileStream f(Dir + "/logo.png", TFileStream::Mode::Create);
    f.WriteString("PNG");
  }
  CaptureClient c;
  TIdMessage m;
  m.MessageParts.Add<TIdText>().Body.Add("plain");
  m.MessageParts.Add<TIdText>().Body.Add("<img src=cid:logo>");
  auto& a = m.MessageParts.Add<TIdAttachment>();
  a.FileName = Dir + "/logo.png";
  a.SetContentType("image/png");
  a.ExtraHeaders.SetValueOf("Content-ID", "<logo>");
  c.WriteMessage(m);
  const std::string o = c.Out;
  EXPECT_NE(o.find("Content-Type: " + std::string(mime::kRelatedType) + ";"), std::string::npos);
  EXPECT_NE(o.find("--" + std::string(mime::kRelatedBoundary) +
                   "\r\nContent-Type: multipart/alternative; \r\n        boundary=\"" +
                   mime::kAltBoundary + "\"\r\n\r\n--" + mime::kAltBoundary + "\r\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("Content-ID: <logo>\r\n"), std::string::npos);
  EXPECT_TRUE(o.ends_with("--" + std::string(mime::kRelatedBoundary) + "--\r\n"));
}

}  // namespace
