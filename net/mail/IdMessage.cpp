// The mail message and its address lists (RFC 822 section 6 mailboxes) and
// MIME parts.
#include "net/mail/IdMessage.h"

#include "platform/Exception.h"
#include "platform/Text.h"

// ------------------------------------------------------ TIdEMailAddressItem

std::string TIdEMailAddressItem::GetText() const {
  if (Name.empty() || Name == text::UpperCase(Address)) return Address;
  return Name + " <" + Address + ">";
}

void TIdEMailAddressItem::SetText(std::string_view AText) {
  Address.clear();
  Name.clear();
  if (AText.empty() || AText.back() != '>') {
    if (AText.empty() || AText.back() != ')') {
      Address.assign(AText);
    } else if (size_t open = AText.find('('); open != std::string_view::npos) {
      // "address (Name)": the comment form of RFC 822.
      Address = text::Trim(AText.substr(0, open));
      Name = text::Trim(AText.substr(open + 1, AText.size() - 1 - (open + 1)));
    }
  } else if (size_t open = AText.find('<'); open != std::string_view::npos) {
    // "Name <address>": the route-address form of RFC 822.
    Address = text::Trim(AText.substr(open + 1, AText.size() - 1 - (open + 1)));
    Name = text::Trim(AText.substr(0, open));
  }
  while (Name.size() > 1 && ((Name.front() == '"' && Name.back() == '"') ||
                             (Name.front() == '\'' && Name.back() == '\''))) {
    Name = Name.substr(1, Name.size() - 2);
  }
}

// ------------------------------------------------------ TIdEMailAddressList

TIdEMailAddressItem& TIdEMailAddressList::Item(int Index) {
  if (Index < 0 || Index >= Count())
    throw EListError(text::Format("List index out of bounds (%d)", Index));
  return *Items[static_cast<size_t>(Index)];
}

const TIdEMailAddressItem& TIdEMailAddressList::Item(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(text::Format("List index out of bounds (%d)", Index));
  return *Items[static_cast<size_t>(Index)];
}

TIdEMailAddressItem& TIdEMailAddressList::Add() {
  Items.push_back(std::make_unique<TIdEMailAddressItem>());
  return *Items.back();
}

void TIdEMailAddressList::SetEMailAddresses(std::string_view AText) {
  Clear();
  auto addEntry = [this](std::string_view entry) {
    std::string t = text::Trim(entry);
    if (!t.empty()) Add().SetText(t);
  };
  size_t start = 0;
  int quotes = 0;  // double quotes seen in the current entry
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (c == '"') {
      ++quotes;
    } else if (c == ',' && quotes != 1) {
      addEntry(AText.substr(start, i - start));
      start = i + 1;
      quotes = 0;
    }
  }
  addEntry(AText.substr(start));
}

// ------------------------------------------------------------ message parts

TIdMessagePart::TIdMessagePart(TIdMessageParts*) {
  throw EIdCanNotCreateMessagePart();
}

void TIdMessagePart::Assign(const TIdMessagePart& ASource) {
  SetContentType(ASource.GetContentType());
  SetContentTransfer(ASource.GetContentTransfer());
  ExtraHeaders.Lines = ASource.ExtraHeaders.Lines;
}

void TIdText::Assign(const TIdMessagePart& ASource) {
  if (const auto* src = dynamic_cast<const TIdText*>(&ASource)) {
    TIdMessagePart::Assign(ASource);
    Body.Lines = src->Body.Lines;
  }
}

void TIdAttachment::Assign(const TIdMessagePart& ASource) {
  if (const auto* src = dynamic_cast<const TIdAttachment*>(&ASource)) {
    TIdMessagePart::Assign(ASource);
    SetContentDisposition(src->GetContentDisposition());
    FileName = src->FileName;
  }
}

TIdMessagePart& TIdMessageParts::Item(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(text::Format("List index out of bounds (%d)", Index));
  return *Parts[static_cast<size_t>(Index)];
}

void TIdMessageParts::Delete(int Index) {
  Item(Index);  // range check
  Parts.erase(Parts.begin() + Index);
}

// --------------------------------------------------------------- TIdMessage

TIdMessage::TIdMessage(TComponent* AOwner) : TComponent(AOwner) {
  // This class's own Clear: a derived part does not exist yet.
  TIdMessage::Clear();
}

void TIdMessage::Clear() {
  ClearHeader();
  ClearBody();
}

void TIdMessage::ClearHeader() {
  CCList.Clear();
  BccList.Clear();
  ReplyTo.Clear();
  Recipients.Clear();
  NewsGroups.Clear();
  Headers.Clear();
  ExtraHeaders.Clear();
  Date = 0;
  Priority = mpNormal;
  Organization.clear();
  References.clear();
  Subject.clear();
  ContentType.clear();
  CharSet.clear();
  ContentTransferEncoding.clear();
  MsgId.clear();
  From.SetText("");
  ReceiptRecipient.SetText("");
  Sender.SetText("");
}

void TIdMessage::ClearBody() {
  MessageParts.Clear();
  Body.Clear();
}
