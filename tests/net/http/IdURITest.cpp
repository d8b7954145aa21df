#include "net/http/IdURI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SplitCase {
  std::string address;
  TIdURIParts parts;  // Protocol, Host, Path, Document, Port, Bookmark
};

void ExpectParts(const TIdURIParts& got, const TIdURIParts& want, const std::string& what) {
  EXPECT_EQ(got.Protocol, want.Protocol) << what;
  EXPECT_EQ(got.Host, want.Host) << what;
  EXPECT_EQ(got.Path, want.Path) << what;
  EXPECT_EQ(got.Document, want.Document) << what;
  EXPECT_EQ(got.Port, want.Port) << what;
  EXPECT_EQ(got.Bookmark, want.Bookmark) << what;
}

const SplitCase kCases[] = {
    {"HTTP://H/GetMyIP.pl", {"HTTP", "H", "/", "GetMyIP.pl", "", ""}},
    {"HTTP://H:8080/a/b/c.html?x=1#top", {"HTTP", "H", "/a/b/", "c.html?x=1", "8080", "top"}},
    {"HTTP://H", {"HTTP", "H", "/", "", "", ""}},
    {"HTTP://H:81", {"HTTP", "H", "/", "", "81", ""}},
    {"HTTP://H:/x", {"HTTP", "H", "/", "x", "", ""}},
    {"Http://H/X", {"Http", "H", "/", "X", "", ""}},
    {R"(HTTP:\\H\x.htm)", {"HTTP", "H", "/", "x.htm", "", ""}},
    {R"(http://H\dir\sub\)", {"http", "H", "/dir/sub/", "", "", ""}},
    // Every slash counts, also one inside the query.
    {"HTTP://H/p.pl?u=a/b", {"HTTP", "H", "/p.pl?u=a/", "b", "", ""}},
    // Only the document is searched for a bookmark, and only its first "#".
    {"HTTP://H/a#b#c", {"HTTP", "H", "/", "a", "", "b#c"}},
    {"HTTP://H/x#/y", {"HTTP", "H", "/x#/", "y", "", ""}},
    // User information is not recognised.
    {"ftp://user:secret@H/f.txt", {"ftp", "user", "/", "f.txt", "secret@H", ""}},
    // Without "://" the whole address is path and document.
    {"/dir/page.htm", {"", "", "/dir/", "page.htm", "", ""}},
    {"page.htm#top", {"", "", "/", "page.htm", "", "top"}},
    {"dir/page.htm", {"", "", "/dir/", "page.htm", "", ""}},
    {"H:8080/x", {"", "", "/H:8080/", "x", "", ""}},
    {"", {"", "", "/", "", "", ""}},
    // Only the first "://" separates the protocol.
    {"a://b://c/d", {"a", "b", "/c/", "d", "", ""}},
};

TEST(IdURI, SplitAddressTable) {
  for (const auto& c : kCases) ExpectParts(TIdURI::SplitAddress(c.address), c.parts, c.address);
}

TEST(IdURI, ObjectKeepsNormalisedAddressAndItsParts) {
  TIdURI uri(R"(HTTP:\\H:8080\a\b.htm#top)");
  EXPECT_EQ(uri.GetURI(), "HTTP://H:8080/a/b.htm#top");
  ExpectParts(uri, {"HTTP", "H", "/a/", "b.htm", "8080", "top"}, uri.GetURI());

  // A new address replaces every part, including those it leaves empty.
  uri.SetURI("/x");
  EXPECT_EQ(uri.GetURI(), "/x");
  ExpectParts(uri, {"", "", "/", "x", "", ""}, uri.GetURI());

  TIdURI empty;
  EXPECT_EQ(empty.GetURI(), "");
  EXPECT_EQ(empty.Path, "");
}

TEST(IdURI, NormalizeSlashesTouchesOnlyBackslashes) {
  EXPECT_EQ(TIdURI::NormalizeSlashes("a\\b\\\\c/d"), "a/b//c/d");
  // Multi-byte UTF-8 characters pass unchanged.
  EXPECT_EQ(TIdURI::NormalizeSlashes("\xC3\xA9\\\xE2\x82\xAC"), "\xC3\xA9/\xE2\x82\xAC");
}

}  // namespace
