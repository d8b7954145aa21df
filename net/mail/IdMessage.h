#pragma once
// A mail message (RFC 822 header fields, MIME parts of RFC 2045/2046): the
// texts, addresses and settings from which TIdMessageClient writes the message.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/transport/IdException.h"
#include "net/transport/IdHeaderList.h"
#include "platform/Component.h"
#include "platform/DateTime.h"
#include "platform/StringList.h"

class EIdCanNotCreateMessagePart : public EIdException {
 public:
  EIdCanNotCreateMessagePart()
      : EIdException("TIdMessagePart can not be created.  Use descendant classes. ") {}
};

enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

// One mailbox: an address and an optional display name.
class TIdEMailAddressItem {
 public:
  // The Address alone when Name is empty or equals the upper-cased Address,
  // else Name + " <" + Address + ">".
  std::string GetText() const;
  // Reads "Name <address>", "address (Name)" or a bare address. Both fields are
  // emptied first; a text ending in ")" without "(" or in ">" without "<" leaves
  // them empty. Quotes (double or single) around the name are removed.
  void SetText(std::string_view AText);
  void Assign(const TIdEMailAddressItem& ASource) {
    Address = ASource.Address;
    Name = ASource.Name;
  }

  std::string Address;
  std::string Name;
};

// An ordered list of mailboxes.
class TIdEMailAddressList {
 public:
  int Count() const { return static_cast<int>(Items.size()); }
  // Raises EListError "List index out of bounds (%d)" outside the list.
  TIdEMailAddressItem& Item(int Index);
  const TIdEMailAddressItem& Item(int Index) const;
  TIdEMailAddressItem& operator[](int Index) { return Item(Index); }
  // Appends a new empty item and answers it for the caller to fill.
  TIdEMailAddressItem& Add();
  void Clear() { Items.clear(); }
  // Replaces the items by those of a header text: entries are separated by
  // commas (not by one inside an open double quote), trimmed, and read with
  // TIdEMailAddressItem::SetText; empty entries are skipped.
  void SetEMailAddresses(std::string_view AText);

 private:
  std::vector<std::unique_ptr<TIdEMailAddressItem>> Items;
};

class TIdMessageParts;

// A MIME part. Only its two kinds, TIdText and TIdAttachment, can be made.
class TIdMessagePart {
 public:
  // Raises EIdCanNotCreateMessagePart: a bare part has no kind.
  explicit TIdMessagePart(TIdMessageParts* ACollection);
  virtual ~TIdMessagePart() = default;
  TIdMessagePart(const TIdMessagePart&) = delete;
  TIdMessagePart& operator=(const TIdMessagePart&) = delete;

  std::string GetContentType() const { return Headers.ValueOf("Content-Type"); }
  void SetContentType(std::string_view AValue) { Headers.SetValueOf("Content-Type", AValue); }
  std::string GetContentTransfer() const { return Headers.ValueOf("Content-Transfer-Encoding"); }
  void SetContentTransfer(std::string_view AValue) {
    Headers.SetValueOf("Content-Transfer-Encoding", AValue);
  }
  // Copies the content type, transfer encoding and extra headers (and what the
  // kinds add) from a part of the same kind; other parts are ignored.
  virtual void Assign(const TIdMessagePart& ASource);
  TIdMessageParts* Collection() const { return FCollection; }

  TIdHeaderList Headers;       // this message part's own Content-* values
  TIdHeaderList ExtraHeaders;  // further lines written after them

 protected:
  struct KindTag {};
  TIdMessagePart(TIdMessageParts* ACollection, KindTag) : FCollection(ACollection) {}

 private:
  TIdMessageParts* FCollection = nullptr;
};

// A text part (one alternative of the body).
class TIdText : public TIdMessagePart {
 public:
  explicit TIdText(TIdMessageParts* ACollection) : TIdMessagePart(ACollection, KindTag{}) {}
  void Assign(const TIdMessagePart& ASource) override;

  TStringList Body;
};

// A file attached to the message.
class TIdAttachment : public TIdMessagePart {
 public:
  explicit TIdAttachment(TIdMessageParts* ACollection) : TIdMessagePart(ACollection, KindTag{}) {}
  void Assign(const TIdMessagePart& ASource) override;

  std::string GetContentDisposition() const { return Headers.ValueOf("Content-Disposition"); }
  void SetContentDisposition(std::string_view AValue) {
    Headers.SetValueOf("Content-Disposition", AValue);
  }

  std::string FileName;        // path of the file to attach
  std::string StoredPathName;  // temporary file holding the encoded content while it is written
};

// The parts of a message, in order; the collection owns them.
class TIdMessageParts {
 public:
  // Makes a part of kind T at the end of the collection and answers it.
  // TIdMessagePart itself raises EIdCanNotCreateMessagePart.
  template <class T>
  T& Add() {
    auto p = std::make_unique<T>(this);
    T& r = *p;
    Parts.push_back(std::move(p));
    return r;
  }
  int Count() const { return static_cast<int>(Parts.size()); }
  TIdMessagePart& Item(int Index) const;
  TIdMessagePart& operator[](int Index) const { return Item(Index); }
  void Delete(int Index);
  void Clear() { Parts.clear(); }

 private:
  std::vector<std::unique_ptr<TIdMessagePart>> Parts;
};

class TIdMessage : public TComponent {
 public:
  explicit TIdMessage(TComponent* AOwner = nullptr);

  // Header clearing, then body clearing.
  virtual void Clear();
  // Empties the address lists, news groups, received and extra headers; Date 0,
  // Priority mpNormal, the texts empty, From/ReceiptRecipient/Sender empty.
  void ClearHeader();
  // Empties MessageParts and Body.
  void ClearBody();

  // True exactly when Date is 0 (the current time is written); setting it to
  // either value sets Date to 0.
  bool GetUseNowForDate() const { return Date == 0; }
  void SetUseNowForDate(bool) { Date = 0; }

  TStringList Body;
  TIdEMailAddressList BccList;
  std::string CharSet;
  TIdEMailAddressList CCList;
  std::string ContentType;
  std::string ContentTransferEncoding;
  TDateTime Date = 0;  // local time; 0 = the moment of writing
  TIdHeaderList ExtraHeaders;
  TIdEMailAddressItem From;
  TStringList NewsGroups;
  bool NoDecode = false;
  std::string Organization;
  TIdMessagePriority Priority = mpNormal;
  TIdEMailAddressItem ReceiptRecipient;
  TIdEMailAddressList Recipients;
  std::string References;
  TIdEMailAddressList ReplyTo;
  std::string Subject;
  TIdEMailAddressItem Sender;

  TIdMessageParts MessageParts;
  TIdHeaderList Headers;  // header lines of a received message
  std::string MsgId;      // a received "Message-Id"; never written
};
