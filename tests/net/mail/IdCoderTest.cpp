#include "net/mail/IdCoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Everything a coder answers, with the record kinds "0;" dropped.
std::string Drain(TIdCoder& C, std::string_view In, size_t Piece = std::string::npos) {
  std::string out;
  auto take = [&out](const std::string& s) {
    if (s.size() > 2) out += s.substr(2);
  };
  for (size_t i = 0; i < In.size(); i += Piece) take(C.CodeText(In.substr(i, Piece)));
  take(C.EndInput());
  return out;
}

std::string RandomBytes(size_t N, unsigned Seed) {
  std::mt19937 rng(Seed);
  std::string s(N, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(EncodeBase64Text, PaddingAndOneLine) {
  struct Case {
    std::string In, Out;
  } cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"user@example.test", "dXNlckBleGFtcGxlLnRlc3Q="},
      {std::string("\0\xff\x10", 3), "AP8Q"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeBase64Text(c.In), c.Out) << c.In;
  // Long input stays on one line, also across the 4096-byte buffer.
  std::string big(10000, 'x');
  std::string enc = EncodeBase64Text(big);
  EXPECT_EQ(enc.size(), (big.size() + 2) / 3 * 4);
  EXPECT_EQ(enc.find('\r'), std::string::npos);
}

TEST(Base64Encoder, FiftySevenBytesMakeOneLineOf76) {
  TIdBase64Encoder e;
  e.AddLineEnd = true;
  EXPECT_EQ(e.CodeText(std::string(57, 'A')), "");  // only buffered
  std::string out = e.EndInput();
  ASSERT_EQ(out.size(), 2u + 76u + 2u);
  EXPECT_EQ(out.substr(0, 2), "0;");
  EXPECT_EQ(out.substr(78), "\r\n");
}

TEST(Base64Encoder, EqualsWholeInputWhateverTheBlockBoundaries) {
  // A buffer size that is not a multiple of three carries partial groups
  // between blocks; the result must not depend on how the input is fed.
  std::string in = RandomBytes(20000, 7);
  std::string whole = EncodeBase64Text(in);
  for (int bufferSize : {1, 2, 4, 5, 4096}) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{20000}}) {
      if (bufferSize == 1 && piece == 1) continue;  // slow and adds nothing
      TIdBase64Encoder e;
      e.SetBufferSize(bufferSize);
      EXPECT_EQ(Drain(e, in, piece), whole) << bufferSize << "/" << piece;
    }
  }
}

TEST(Base64Decoder, RoundTripsAndSkipsLineEnds) {
  std::string in = RandomBytes(5000, 3);
  TIdBase64Encoder e;
  e.AddLineEnd = true;
  e.SetBufferSize(57);
  std::string lines = Drain(e, in);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{100}, lines.size()}) {
    TIdBase64Decoder d;
    EXPECT_EQ(Drain(d, lines, piece), in) << piece;
  }
}

TEST(Base64Decoder, MalformedInput) {
  struct Case {
    std::string In;
    bool Throws;
    std::string Out;
  } cases[] = {
      {"YQ==", false, "a"},
      {"YQ", false, "a"},            // unpadded end
      {"YWI=garbage", false, "ab"},  // nothing after padding is data
      {"Y", false, ""},              // one character makes no byte
      {"YQ*=", true, ""},
      {"\x80\x81", true, ""},
  };
  for (const Case& c : cases) {
    TIdBase64Decoder d;
    if (c.Throws) {
      EXPECT_THROW(Drain(d, c.In), EIdTableNotFound) << c.In;
    } else {
      EXPECT_EQ(Drain(d, c.In), c.Out) << c.In;
    }
  }
  try {
    TIdBase64Decoder d;
    Drain(d, "!!!!");
  } catch (const EIdTableNotFound& e) {
    EXPECT_STREQ(e.what(), "Coding table entry not found.");
  }
}

TEST(UUAndXX, RoundTrip) {
  std::string in = RandomBytes(999, 11);  // a multiple of three: no fill bytes
  TIdUUEncoder ue;
  TIdUUDecoder ud;
  EXPECT_EQ(Drain(ud, Drain(ue, in)), in);
  TIdXXEncoder xe;
  TIdXXDecoder xd;
  std::string xx = Drain(xe, in);
  EXPECT_EQ(
      xx.find_first_not_of("+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
      std::string::npos);
  EXPECT_EQ(Drain(xd, xx), in);
}

TEST(QuotedPrintableEncoder, Examples) {
  struct Case {
    std::string In;
    std::vector<std::string> Records;
  } cases[] = {
      // Trailing blank before a line end is encoded; the rest has no line end.
      {"a b \r\nc=d", {"a b=20\r\n", "c=3Dd"}},
      {"\t\xE9", {"=09=E9"}},
      {"!#$@[\\]^`{|}~\"", {"=21=23=24=40=5B=5C=5D=5E=60=7B=7C=7D=7E=22"}},
      {"x\ry\nz", {"x=0Dy=0Az"}},  // lone CR and LF are data
      {"\r\n\r\n", {"\r\n", "\r\n"}},
      {"end \t", {"end =09"}},
      {"tail ", {"tail=20"}},
      {"\r", {"=0D"}},
  };
  for (const Case& c : cases) {
    // Records one by one, through the data event.
    std::vector<std::string> got;
    TIdQuotedPrintableEncoder g;
    g.UseEvent = true;
    g.OnCodedData = [&got](const std::string& d) { got.push_back(d); };
    g.CodeText(c.In);
    g.EndInput();
    EXPECT_EQ(got, c.Records) << c.In;
  }
}

TEST(QuotedPrintableEncoder, LongLines) {
  std::vector<std::string> got;
  TIdQuotedPrintableEncoder e;
  e.UseEvent = true;
  e.OnCodedData = [&got](const std::string& d) { got.push_back(d); };

  // A complete line passes whole, whatever its length.
  e.CodeText(std::string(200, 'a') + "\r\n");
  e.EndInput();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::string(200, 'a') + "\r\n");

  // Without a line end: soft breaks after 75 characters.
  got.clear();
  e.ResetCoder();
  e.CodeText(std::string(200, 'a'));
  e.EndInput();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::string(75, 'a') + "=\r\n");
  EXPECT_EQ(got[1], std::string(75, 'a') + "=\r\n");
  EXPECT_EQ(got[2], std::string(50, 'a'));

  // No escape is split by a soft break: shift an escape across the cut.
  for (int shift = 70; shift <= 76; ++shift) {
    got.clear();
    e.ResetCoder();
    e.CodeText(std::string(static_cast<size_t>(shift), 'b') + "=" + std::string(100, 'c'));
    e.EndInput();
    for (const std::string& r : got) {
      std::string body = r.substr(0, r.size() - (r.ends_with("=\r\n") ? 3 : 0));
      EXPECT_LE(r.size(), 78u);
      size_t eq = body.rfind('=');
      if (eq != std::string::npos) {
        EXPECT_LE(eq + 3, body.size()) << shift << ": " << r;
      }
    }
  }
}

TEST(QuotedPrintable, RoundTripAcrossBlocks) {
  std::string in = RandomBytes(30000, 5);
  for (size_t i = 0; i < in.size(); i += 97) in.replace(i, 2, "\r\n");
  for (size_t piece : {size_t{1}, size_t{4095}, in.size()}) {
    TIdQuotedPrintableEncoder e;
    std::string qp = Drain(e, in, piece);
    TIdQuotedPrintableDecoder d;
    EXPECT_EQ(Drain(d, qp, piece == 1 ? 3 : piece), in) << piece;
  }
}

// A CR that ends a full 4096-byte buffer is kept back as the first byte of the
// next one, which then reads only 4095 new bytes: every later buffer starts
// one byte earlier. The soft breaks cut at the end of each buffer show where
// the boundaries lie: a line without its line end yet is cut only when more
// than 75 characters of it are pending, and a complete line passes whole.
// Each case is a list of (input, output) pieces worked from that rule; the
// filler lines of 63 "x" pass unchanged.
TEST(QuotedPrintableEncoder, KeptBackCRMovesTheLaterBufferBoundaries) {
  // N bytes of filler lines, each at most 63 characters and CR LF.
  auto filler = [](size_t N) {
    std::string s;
    while (N > 0) {
      size_t line = (N >= 65 && N - 65 != 1) ? 63 : N - 2;
      s += std::string(line, 'x') + "\r\n";
      N -= line + 2;
    }
    return s;
  };
  using Pieces = std::vector<std::pair<std::string, std::string>>;
  auto same = [](const std::string& S) { return std::pair{S, S}; };
  struct Case {
    const char* Name;
    Pieces Parts;
  } cases[] = {
      // CR LF at 4095: the second buffer is 4095..8190, so the line at
      // 8116..8215 has 75 characters pending there (not cut) and passes whole.
      {"CR at 4095",
       {same(filler(4095)), same("\r\n"), same(filler(4019)), same(std::string(100, 'b') + "\r\n"),
        same("tail")}},
      // CR LF at 4095 and at 8190: the second buffer ends in the CR as well,
      // so the third is 8190..12285; the line from 12213 has 73 bytes there,
      // "=3D" and 72 "e": 75 characters, not cut.
      {"CR at 4095 and 8190",
       {same(filler(4095)),
        same("\r\n"),
        same(filler(4093)),
        same("\r\n"),
        same(filler(4021)),
        {"=" + std::string(99, 'e') + "\r\n", "=3D" + std::string(99, 'e') + "\r\n"},
        same("end")}},
      // CR LF at 4095 and at 8191: 8191 opens the third buffer (8191..12286),
      // nothing is kept there; the line from 12212 has 75 characters pending.
      {"CR at 4095 and 8191",
       {same(filler(4095)), same("\r\n"), same(filler(4094)), same("\r\n"), same(filler(4019)),
        same(std::string(100, 'c') + "\r\n"), same("end")}},
      // A lone CR at 4095 is kept back too and written as =0D when the next
      // buffer shows no LF after it; the boundary still moves.
      {"lone CR at 4095",
       {same(filler(4093)),
        {"ab\r", "ab=0D"},
        same(std::string(80, 'y') + "\r\n"),
        same(filler(3938)),
        same(std::string(100, 'h') + "\r\n")}},
      // A line that is still open at a boundary is cut there: 77 characters
      // of it are pending when the second buffer (4095..8190) ends.
      {"cut at the second boundary",
       {same(filler(4095)),
        same("\r\n"),
        same(filler(4017)),
        {std::string(100, 'd') + "\r\n",
         std::string(75, 'd') + "=\r\n" + std::string(25, 'd') + "\r\n"}}},
      // A kept-back CR with nothing after it.
      {"CR ends the input", {same(filler(4095)), {"\r", "=0D"}}},
  };
  for (const Case& c : cases) {
    std::string in;
    std::string want;
    for (const auto& [i, o] : c.Parts) in += i, want += o;
    for (size_t piece :
         {size_t{1}, size_t{7}, size_t{4095}, size_t{4096}, size_t{4097}, in.size()}) {
      TIdQuotedPrintableEncoder e;
      EXPECT_EQ(Drain(e, in, piece), want) << c.Name << ", pieces of " << piece;
    }
  }
}

TEST(QuotedPrintableDecoder, LenientForms) {
  struct Case {
    std::string In, Out;
  } cases[] = {
      {"a=3Db", "a=b"},        {"soft=\r\nbreak", "softbreak"},
      {"lf=\nonly", "lfonly"}, {"=zz", "=zz"},
      {"end=", "end="},        {"=e9", "\xE9"},
  };
  for (const Case& c : cases) {
    TIdQuotedPrintableDecoder d;
    EXPECT_EQ(Drain(d, c.In), c.Out) << c.In;
  }
}

TEST(TIdCoder, TakeOutputAndTakeData) {
  struct Probe : TIdCoder {
    void Data(std::string s) { OutputData(std::move(s)); }
    void Note(int n, std::string s) { OutputNotification(n, std::move(s)); }
  } p;
  p.Data("ab");
  p.Data("cd");
  p.Note(3, "name");
  p.Data("ef");
  EXPECT_EQ(p.TakeOutput(), "0;abcd");
  EXPECT_EQ(p.TakeOutput(), "3;name");
  EXPECT_EQ(p.TakeOutput(), "0;ef");
  EXPECT_EQ(p.TakeOutput(), "");

  p.Note(1, "x");
  p.Data("gh");
  EXPECT_EQ(p.TakeData(), "");  // a notification first
  p.IgnoreNotification = true;
  EXPECT_EQ(p.TakeData(), "gh");

  p.Data("zz");
  p.IgnoreCodedData = true;
  EXPECT_EQ(p.TakeOutput(), "");
  EXPECT_EQ(p.PendingRecords(), 0u);
}

TEST(TIdCoder, PassThroughBuffersAndCompletes) {
  TIdCoder c;
  c.SetBufferSize(4);
  EXPECT_EQ(c.CodeText("abc"), "");      // shorter than the free room: buffered
  EXPECT_EQ(c.CodeText("d"), "0;abcd");  // fills it exactly: coded at once
  c.CompleteOnEachCall = true;
  EXPECT_EQ(c.CodeText("xy"), "0;xy");
  c.AddLineEnd = true;
  EXPECT_EQ(c.CodeText("z"), "0;z\r\n");
}

TEST(CoderRegistry, FindCoder) {
  struct Case {
    const char* ContentType;
    const char* Transfer;
    uint8_t Kind;
    const char* Class;
  } cases[] = {
      {"text/plain", "quoted-printable", CoderKindEncoder, "TIdQuotedPrintableEncoder"},
      {"text/plain", "Quoted-Printable", CoderKindDecoder, "TIdQuotedPrintableDecoder"},
      {"text/plain", "7bit", CoderKindEncoder, "TIdCoder"},
      {"", "BASE64", CoderKindEncoder, "TIdBase64Encoder"},
      {"image/png", "base64", CoderKindDecoder, "TIdBase64Decoder"},
      {"text/", "8bit", CoderKindDecoder, "TIdIMFDecoder"},
      {"", "8bit", CoderKindDecoder, "TIdCoder"},
      {"", "x-uu", CoderKindEncoder, "TIdUUEncoder"},
      {"", "x-xx", CoderKindDecoder, "TIdXXDecoder"},
      {"application/pdf", "", CoderKindEncoder, "TIdCoder"},
      {"", "", CoderKindDecoder, "TIdCoder"},
  };
  for (const Case& c : cases) {
    const TIdCoderItem& item = FindCoder(c.ContentType, c.Transfer, c.Kind);
    EXPECT_EQ(item.CoderClass.ClassName, c.Class) << c.ContentType << " " << c.Transfer;
    EXPECT_EQ(item.Kind, c.Kind);
    EXPECT_NE(item.CoderClass.Create(nullptr), nullptr);
  }
  EXPECT_EQ(CoderCollection().Count(), 14);
}

}  // namespace
