#include "net/transport/IdHeaderList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Exception.h"

namespace {

using Lines = std::vector<std::string>;

TIdHeaderList ListOf(const Lines& lines) {
  TIdHeaderList list;
  for (const auto& l : lines) list.Add(l);
  return list;
}

TEST(IdHeaderList, LookupIgnoresLetterCase) {
  auto list = ListOf({"Content-Type: text/html", "content-length: 12"});
  EXPECT_EQ(list.ValueOf("Content-Length"), "12");
  EXPECT_EQ(list.ValueOf("CONTENT-TYPE"), "text/html");
  EXPECT_EQ(list.ValueOf("Server"), "");
  EXPECT_EQ(list.IndexOfHeader("Server"), -1);
  EXPECT_EQ(list.ValueAt(-1), "");
}

TEST(IdHeaderList, NamesAreUpperCasedAndKeepTheirBlanks) {
  auto list = ListOf({"x-Mailer: a", "Host : b", "no colon here", "Date: 1:2:3"});
  EXPECT_EQ(list.NameAt(0), "X-MAILER");
  EXPECT_EQ(list.NameAt(1), "HOST ");
  EXPECT_EQ(list.IndexOfHeader("Host"), -1);
  EXPECT_EQ(list.NameAt(2), "");
  // The value starts after the first colon only.
  EXPECT_EQ(list.ValueOf("date"), "1:2:3");
  list.KeepNameCase = true;
  EXPECT_EQ(list.NameAt(0), "x-Mailer");
  EXPECT_EQ(list.IndexOfHeader("X-MAILER"), 0);
  EXPECT_THROW(list.NameAt(4), EListError);
}

// IndexOfHeader: the first line whose text before its first colon (empty
// without one, blanks kept) equals the name in any letter case.
TEST(IdHeaderList, IndexOfHeaderTable) {
  const Lines lines = {"Date: 1:2",       " Server: x", "Content-Type-X: a", "Host : h",
                       "Content-Type: b", "no colon",   "CONTENT-type: c",   ": empty"};
  const struct {
    const char* Name;
    int Index;
  } cases[] = {
      {"content-TYPE", 4},  // the first of two, in any case; not a longer name
      {"Content", -1},      // nor a shorter one
      {"Date", 0},          // the name ends at the first colon
      {"Date:", -1},        //
      {"Date: 1", -1},      //
      {"Server", -1},       // a continuation's name starts with a blank
      {"Host", -1},         // a blank before the colon is part of the name
      {"host ", 3},         //
      {"no colon", -1},     // a line without a colon has the empty name
      {"", 5},              //
  };
  auto list = ListOf(lines);
  for (const auto& c : cases) EXPECT_EQ(list.IndexOfHeader(c.Name), c.Index) << c.Name;
  list.Delete(5);
  EXPECT_EQ(list.IndexOfHeader(""), 6) << "a line that starts with its colon";
}

struct UnfoldCase {
  Lines lines;
  std::string value;  // of the first line
};

TEST(IdHeaderList, ValueJoinsContinuationLines) {
  const UnfoldCase cases[] = {
      {{"X-A: one", " two", "\tthree"}, "one two three"},
      // Nothing after the colon: the continuation is the whole value.
      {{"X-B:", " two"}, "two"},
      // A value that already ends with a blank gets no second blank.
      {{"X-C: one ", "   two"}, "one two"},
      {{"X-D: one\t", " two"}, "one\ttwo"},
      // An empty line or an ordinary line ends the run.
      {{"X-E: one", "", " two"}, "one"},
      {{"X-F: one", "Y: x", " two"}, "one"},
      // Trailing blanks are kept, leading ones removed.
      {{"X-G:  \t one  "}, "one  "},
  };
  for (const auto& c : cases) {
    auto list = ListOf(c.lines);
    EXPECT_EQ(list.ValueAt(0), c.value) << c.lines[0];
  }
  auto list = ListOf({"X-A: one", " two"});
  list.UnfoldOnRead = false;
  EXPECT_EQ(list.ValueOf("X-A"), "one");
}

TEST(IdHeaderList, SetValueOfAddsReplacesInPlaceAndRemoves) {
  auto list = ListOf({"Host: a", "X-Long: one", " two", "\tthree", "Accept: */*"});

  list.SetValueOf("x-long", "short");  // the caller's spelling wins
  EXPECT_EQ(list.Lines, (Lines{"Host: a", "x-long: short", "Accept: */*"}));

  list.SetValueOf("Connection", "close");
  EXPECT_EQ(list.Lines, (Lines{"Host: a", "x-long: short", "Accept: */*", "Connection: close"}));

  list.SetValueOf("Missing", "");
  EXPECT_EQ(list.Count(), 4);

  list.Insert(2, " continued");
  list.SetValueOf("X-LONG", "");
  EXPECT_EQ(list.Lines, (Lines{"Host: a", "Accept: */*", "Connection: close"}));

  list.FoldOnWrite = false;
  list.SetValueOf("Host", std::string(100, 'h') + " " + std::string(10, 'h'));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Strings(0).size(), 117u);
}

TEST(IdHeaderList, InsertFoldedReplacesOneLineByAllFoldedLines) {
  auto list = ListOf({"A: 1", "B: 2", "C: 3"});
  list.InsertFolded("B: " + std::string(80, 'x') + " y z", 1);
  EXPECT_EQ(list.Lines, (Lines{"A: 1", "B:", " " + std::string(80, 'x'), " y z", "C: 3"}));
  list.DeleteContinuations(1);
  EXPECT_EQ(list.Lines, (Lines{"A: 1", "B:", "C: 3"}));
  list.DeleteContinuations(2);  // nothing follows
  EXPECT_EQ(list.Count(), 3);
}

struct FoldCase {
  const char* what;
  std::string text;
  Lines lines;
};

TEST(IdHeaderList, FoldHeaderTable) {
  const std::string a71(71, 'a');
  const std::string a77(77, 'a');
  const std::string quoted = "\"quoted text with blanks quoted text with blanks quoted text\"";
  const std::string endQuoted =
      "X: q \"" + std::string(40, 'w') + " " + std::string(40, 'w') + "\"";
  const FoldCase cases[] = {
      {"80 characters break at the blank",
       a71 + " " + std::string(8, 'b'),
       {a71, " " + std::string(8, 'b')}},
      {"79 characters stay whole",
       a71 + " " + std::string(7, 'b'),
       {a71 + " " + std::string(7, 'b')}},
      {"no blank, no break", std::string(100, 'x'), {std::string(100, 'x')}},
      {"a TAB is a break character",
       a71 + "\t" + std::string(8, 'b'),
       {a71, " " + std::string(8, 'b')}},
      {"both blanks before the break end the first line",
       a71 + "  " + std::string(8, 'b'),
       {a71, " " + std::string(8, 'b')}},
      // The second blank is skipped by the scan but still begins the next piece.
      {"a blank after the break stays",
       a77 + "  " + std::string(5, 'b'),
       {a77, "  " + std::string(5, 'b')}},
      {"a long word is never split",
       "Name: " + std::string(90, 'L') + " tail",
       {"Name:", " " + std::string(90, 'L'), " tail"}},
      {"a quoted string moves whole",
       "Name: " + std::string(30, 'n') + " " + quoted + " and more",
       {"Name: " + std::string(30, 'n'), " " + quoted + " and more"}},
      // After a closing quote the blank that follows is looked at, so it can
      // take the next break.
      {"a blank after a closing quote",
       "Name: " + std::string(30, 'n') + " " + quoted + " " + std::string(30, 'z'),
       {"Name: " + std::string(30, 'n'), " " + quoted, " " + std::string(30, 'z')}},
      // The quote closes on the last character: nothing is left to move.
      {"a closing quote at the end", endQuoted, {endQuoted}},
      {"an existing fold is kept", "A: b\r\n c", {"A: b", " c"}},
      {"an existing fold with a TAB is kept", "A: b\r\n\tc", {"A: b", "\tc"}},
      {"an existing fold starts a new column count",
       "A: " + std::string(60, 'x') + "\r\n " + std::string(30, 'y'),
       {"A: " + std::string(60, 'x'), " " + std::string(30, 'y')}},
      {"empty text", "", {}},
  };
  TIdHeaderList list;
  for (const auto& c : cases) EXPECT_EQ(list.FoldHeader(c.text)->Lines, c.lines) << c.what;
}

TEST(IdHeaderList, LongSubjectFoldsIntoContinuationLines) {
  const std::string subject =
      "Your public IP address has changed from 192.0.2.10 to 198.51.100.23 while you were "
      "away from the machine; the notification service will keep watching it and mail you "
      "again on the next change of the address";
  TIdHeaderList list;
  list.SetValueOf("From", "Me <me@example.test>");
  list.SetValueOf("Subject", subject);
  list.SetValueOf("To", "me@example.test");
  // Each line breaks at the last blank before column 79; the blank itself is
  // dropped and the continuation begins with the blank of "\r\n ".
  EXPECT_EQ(list.Text(),
            "From: Me <me@example.test>\r\n"
            "Subject: Your public IP address has changed from 192.0.2.10 to 198.51.100.23\r\n"
            " while you were away from the machine; the notification service will keep\r\n"
            " watching it and mail you again on the next change of the address\r\n"
            "To: me@example.test\r\n");
  EXPECT_EQ(list.ValueOf("subject"), subject);

  // Setting it again replaces all three lines in place.
  list.SetValueOf("Subject", "short");
  EXPECT_EQ(list.Lines,
            (Lines{"From: Me <me@example.test>", "Subject: short", "To: me@example.test"}));
}

}  // namespace
