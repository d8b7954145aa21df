#include "net/mail/IdMessage.h"

#include <gtest/gtest.h>

namespace {

TEST(TIdEMailAddressItem, SetText) {
  struct Case {
    std::string Text, Name, Address;
  } cases[] = {
      {"Ann <x>", "Ann", "x"},
      {"x (Ann)", "Ann", "x"},
      {"\"Ann\"  <x>", "Ann", "x"},
      {"'Ann' <x@y>", "Ann", "x@y"},
      {"\"'Ann'\" <x>", "Ann", "x"},  // quotes removed while they pair up
      {"\"\" <x>", "", "x"},
      {"\" <x>", "\"", "x"},  // one character is never stripped
      {"x@y", "", "x@y"},
      {" x@y ", "", " x@y "},  // the bare form is not trimmed
      {"<x@y>", "", "x@y"},
      {"Ann x>", "", ""},  // ">" without "<"
      {"x Ann)", "", ""},  // ")" without "("
      {"", "", ""},
      {"Smith, John <js@example.test>", "Smith, John", "js@example.test"},
  };
  for (const Case& c : cases) {
    TIdEMailAddressItem i;
    i.Name = "old";
    i.Address = "old";
    i.SetText(c.Text);
    EXPECT_EQ(i.Name, c.Name) << c.Text;
    EXPECT_EQ(i.Address, c.Address) << c.Text;
  }
}

TEST(TIdEMailAddressItem, GetText) {
  TIdEMailAddressItem i;
  i.Address = "x";
  EXPECT_EQ(i.GetText(), "x");
  i.Name = "Ann";
  EXPECT_EQ(i.GetText(), "Ann <x>");
  i.Address = "ann@b";
  i.Name = "ANN@B";  // the upper-cased address adds nothing
  EXPECT_EQ(i.GetText(), "ann@b");
  TIdEMailAddressItem copy;
  copy.Assign(i);
  EXPECT_EQ(copy.GetText(), i.GetText());
}

TEST(TIdEMailAddressList, ReadsHeaderText) {
  TIdEMailAddressList l;
  l.Add().Address = "stale";
  l.SetEMailAddresses("\"Smith, John\" <js@a>, Ann <ann@b>,, c@d ,");
  ASSERT_EQ(l.Count(), 3);
  EXPECT_EQ(l[0].Name, "Smith, John");
  EXPECT_EQ(l[0].Address, "js@a");
  EXPECT_EQ(l[1].GetText(), "Ann <ann@b>");
  EXPECT_EQ(l[2].Address, "c@d");
  EXPECT_THROW(l.Item(3), EListError);
}

TEST(TIdMessage, DefaultsAndClearing) {
  TIdMessage m;
  EXPECT_TRUE(m.GetUseNowForDate());
  EXPECT_EQ(m.Priority, mpNormal);
  m.Date = 46000.5;
  EXPECT_FALSE(m.GetUseNowForDate());
  m.SetUseNowForDate(false);
  EXPECT_EQ(m.Date, 0);
  m.Date = 1;
  m.SetUseNowForDate(true);
  EXPECT_EQ(m.Date, 0);

  m.Recipients.Add().SetText("Ann <a@b>");
  m.Subject = "s";
  m.ContentType = "text/html";
  m.From.SetText("F <f@g>");
  m.Body.Add("line");
  m.ExtraHeaders.SetValueOf("X-A", "1");
  m.MessageParts.Add<TIdText>();
  m.Priority = mpLow;
  m.Clear();
  EXPECT_EQ(m.Recipients.Count(), 0);
  EXPECT_EQ(m.Subject, "");
  EXPECT_EQ(m.ContentType, "");
  EXPECT_EQ(m.From.Address, "");
  EXPECT_EQ(m.From.Name, "");
  EXPECT_EQ(m.Body.Count(), 0);
  EXPECT_EQ(m.ExtraHeaders.Count(), 0);
  EXPECT_EQ(m.MessageParts.Count(), 0);
  EXPECT_EQ(m.Priority, mpNormal);
  EXPECT_THROW(m.Recipients.Item(0), EListError);
  m.Recipients.Add();
  EXPECT_EQ(m.Recipients.Count(), 1);
}

TEST(TIdMessageParts, KindsAndCopies) {
  TIdMessage m;
  try {
    m.MessageParts.Add<TIdMessagePart>();
    FAIL();
  } catch (const EIdCanNotCreateMessagePart& e) {
    EXPECT_STREQ(e.what(), "TIdMessagePart can not be created.  Use descendant classes. ");
  }
  EXPECT_EQ(m.MessageParts.Count(), 0);

  auto& t = m.MessageParts.Add<TIdText>();
  t.SetContentType("text/html");
  t.SetContentTransfer("base64");
  t.Body.Add("<p>");
  t.ExtraHeaders.Add("X-Part: 1");
  auto& a = m.MessageParts.Add<TIdAttachment>();
  a.FileName = "/tmp/f.bin";
  a.SetContentDisposition("inline");
  EXPECT_EQ(&t, &m.MessageParts[0]);
  EXPECT_EQ(t.Collection(), &m.MessageParts);

  TIdText t2(&m.MessageParts);
  t2.Assign(t);
  EXPECT_EQ(t2.GetContentType(), "text/html");
  EXPECT_EQ(t2.GetContentTransfer(), "base64");
  EXPECT_EQ(t2.Body.Lines, t.Body.Lines);
  EXPECT_EQ(t2.ExtraHeaders.Lines, t.ExtraHeaders.Lines);
  t2.Assign(a);  // another kind: nothing copied
  EXPECT_EQ(t2.GetContentType(), "text/html");
  TIdAttachment a2(&m.MessageParts);
  a2.Assign(a);
  EXPECT_EQ(a2.FileName, "/tmp/f.bin");
  EXPECT_EQ(a2.GetContentDisposition(), "inline");
}

}  // namespace
