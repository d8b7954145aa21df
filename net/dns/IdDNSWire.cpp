// Query building and reply decoding, RFC 1035 4.1 (message format), 3.3 and
// 3.4 (RDATA of the standard types), 3.5 (IN-ADDR.ARPA names).
#include "net/dns/IdDNSWire.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "net/dns/IdDNSLimits.h"
#include "net/dns/IdDNSReader.h"
#include "net/transport/IdException.h"
#include "platform/Text.h"

namespace {

constexpr const char* MsgMD = "MD is an Obsolete Command. Use MX.";
constexpr const char* MsgMF = "MF is an Obsolete Command. USE MX.";
constexpr const char* MsgMailA = "MailA is an Obsolete Command. USE MX.";
constexpr const char* MsgMailB = "-Err 501 MailB is not implemented";

void PutU16(std::string& Out, uint16_t V) {
  Out += static_cast<char>(V >> 8);
  Out += static_cast<char>(V & 0xFF);
}

// Raises the message of an obsolete type (MD, MF, MAILA); other types pass.
void RefuseObsolete(uint16_t Type) {
  switch (Type) {
    case dnstype::MD:
      throw EIdDnsResolverError(MsgMD);
    case dnstype::MF:
      throw EIdDnsResolverError(MsgMF);
    case dnstype::MAILA:
      throw EIdDnsResolverError(MsgMailA);
    default:
      break;
  }
}

void PutLabel(std::string& Out, const std::string& Label) {
  // RFC 1035 2.3.4: a label holds at most 63 bytes. A longer one cannot be
  // written: its length byte would be cut, and the rest of the label would be
  // read by the server as further labels and fields of the query.
  if (Label.size() > dnslimits::MaxLabelLength)
    throw EIdDnsResolverError(text::Format("Invalid domain name: label longer than %d bytes",
                                           static_cast<int>(dnslimits::MaxLabelLength)));
  Out += static_cast<char>(Label.size());
  Out += Label;
}

std::string ShortText(const std::string& S) {
  return text::CutUtf8(S, dnslimits::ShortTextMax);
}

// A name that must begin inside the reply (Check when it does not).
std::string NameAt(TIdDNSReader& R, int Check) {
  R.Require(1, Check);
  return R.Name();
}

void DecodeRData(TIdDNSReader& R, TIdDNSResourceItem& Item) {
  TRdata& d = Item.RData;
  switch (Item.RRType) {
    case dnstype::A: {
      std::string_view a = R.Bytes(4, dnscheck::AAddress);
      d.HostAddress = text::Format(
          "%u.%u.%u.%u", unsigned{static_cast<uint8_t>(a[0])}, unsigned{static_cast<uint8_t>(a[1])},
          unsigned{static_cast<uint8_t>(a[2])}, unsigned{static_cast<uint8_t>(a[3])});
      break;
    }
    case dnstype::NS:
    case dnstype::CNAME:
    case dnstype::MB:
    case dnstype::MG:
    case dnstype::MR:
    case dnstype::PTR:
      d.DomainName = NameAt(R, dnscheck::DomainName);
      break;
    case dnstype::SOA:
      d.SOA.MName = ShortText(R.Name());
      d.SOA.RName = ShortText(NameAt(R, dnscheck::SoaRName));
      d.SOA.Serial = R.U32(dnscheck::SoaSerial);
      d.SOA.Refresh = R.U32(dnscheck::SoaSerial + 1);
      d.SOA.Retry = R.U32(dnscheck::SoaSerial + 2);
      d.SOA.Expire = R.U32(dnscheck::SoaSerial + 3);
      d.SOA.Minimum = R.U32(dnscheck::SoaSerial + 4);
      break;
    case dnstype::WKS: {
      d.WKS.Address = R.U32(dnscheck::WksAddress);
      R.Require(1 + dnslimits::WksBitMapSize, dnscheck::WksBitMap);
      d.WKS.Protocol = R.U8(dnscheck::WksBitMap);
      std::string_view map = R.Bytes(dnslimits::WksBitMapSize, dnscheck::WksBitMap);
      for (size_t i = 0; i < dnslimits::WksBitMapSize; ++i)
        d.WKS.BitMap[i] = static_cast<uint8_t>(map[i]);
      break;
    }
    case dnstype::HINFO:
      d.HInfo.CPU = ShortText(R.CharString(dnscheck::HinfoCpu));
      d.HInfo.OS = ShortText(R.CharString(dnscheck::HinfoOs));
      break;
    case dnstype::MINFO:
      d.MInfo.RMailBox = ShortText(NameAt(R, dnscheck::MinfoRMailBox));
      d.MInfo.EMailBox = ShortText(NameAt(R, dnscheck::MinfoEMailBox));
      break;
    case dnstype::MX:
      d.MX.Preference = R.U16(dnscheck::MxPreference);
      d.MX.Exchange = ShortText(NameAt(R, dnscheck::MxExchange));
      break;
    case dnstype::NULL_:
    case dnstype::TXT:
    case dnstype::AXFR:
    case dnstype::ANY:
      Item.RawData = std::string(R.Bytes(Item.RDLength, dnscheck::RecordFixed));
      break;
    case dnstype::MAILB:
      throw EIdDnsResolverError(MsgMailB);
    default:
      RefuseObsolete(Item.RRType);
      break;  // any other type: the fixed fields are all there is
  }
}

// RFC 1035 4.1.3. Records are decoded until the count is reached or the next
// record would start at or past the reply's last byte.
void ParseRecords(TIdDNSReader& R, unsigned Count, TIdDNSResourceList& List) {
  for (unsigned i = 0; i < Count; ++i) {
    TIdDNSResourceItem& item = *List.Add();
    item.Name = R.Name();
    R.Require(dnslimits::RecordFixedSize, dnscheck::RecordFixed);
    item.RRType = R.U16(dnscheck::RecordFixed);
    item.RRClass = R.U16(dnscheck::RecordFixed);
    item.TTL = R.U32(dnscheck::RecordFixed);
    item.RDLength = R.U16(dnscheck::RecordFixed);
    R.Require(item.RDLength, dnscheck::RecordFixed);
    size_t rdata = R.Offset();
    DecodeRData(R, item);
    // The next record follows the declared RDATA, whatever its decoding read.
    R.Seek(rdata + item.RDLength);
    if (R.Offset() + 1 >= R.Size()) break;
  }
}

}  // namespace

std::string DNSRcodeText(unsigned Rcode) {
  switch (Rcode) {
    case 0:
      return "RCode NO Error";
    case 1:
      return "DNS Server Reports Query Format Error";
    case 2:
      return "DNS Server Reports Query Server Error";
    case 3:
      return "DNS Server Reports Query Name Error";
    case 4:
      return "DNS Server Reports Query Not Implemented Error";
    case 5:
      return "DNS Server Reports Query Refused Error";
    default:
      return "Server Returned Unknown Error";
  }
}

void EncodeDNSQuestionName(std::string& Out, const std::string& QName, uint16_t QType) {
  RefuseObsolete(QType);
  // Cut at each dot; a trailing dot adds nothing, an empty label (leading dot,
  // two dots in a row) is written as a zero length byte.
  std::vector<std::string> labels;
  std::string rest = QName;
  while (!rest.empty()) labels.push_back(text::Fetch(rest, "."));
  if (QType == dnstype::PTR) {
    // RFC 1035 3.5: the address's bytes in reverse order under in-addr.arpa.
    // Reversed in place rather than through a reversing view, which clang++
    // (the fuzz targets' compiler) cannot build with this standard library.
    std::reverse(labels.begin(), labels.end());
    for (const std::string& label : labels) PutLabel(Out, label);
    PutLabel(Out, "in-addr");
    PutLabel(Out, "arpa");
    return;
  }
  // Every other type, also those the resolver does not decode (AAAA, SRV...),
  // asks for the name as labels.
  for (const auto& l : labels) PutLabel(Out, l);
}

std::string BuildDNSQuery(TIdDNSHeader& Header, const TIdDNSQuestionList& Questions) {
  TIdDNSRandom ids;
  return BuildDNSQuery(Header, Questions, ids);
}

std::string BuildDNSQuery(TIdDNSHeader& Header, const TIdDNSQuestionList& Questions,
                          TIdDNSRandom& Ids) {
  Header.ID = Ids.Next(dnslimits::QueryIdBound);
  Header.QDCount = static_cast<uint16_t>(Questions.Count());
  if (Header.QDCount == 0) throw EIdDnsResolverError(text::Format("Invaild Query Count %d", 1));
  std::string q;
  q.reserve(dnslimits::HeaderSize + 64);
  PutU16(q, Header.ID);
  PutU16(q, Header.Flags);
  PutU16(q, Header.QDCount);
  q.append(6, '\0');  // ANCOUNT, NSCOUNT, ARCOUNT
  for (int i = 0; i < Questions.Count(); ++i) {
    const TQuestionItem& item = Questions[i];
    EncodeDNSQuestionName(q, item.QName, item.QType);
    q += '\0';
    PutU16(q, item.QType);
    PutU16(q, item.QClass);
  }
  return q;
}

bool DNSMessageHasId(std::string_view Datagram, uint16_t Id) {
  TIdDNSReader r(Datagram);
  return r.Has(dnslimits::IdSize) && r.U16(dnscheck::Below4) == Id;
}

size_t ParseDNSReply(std::string_view Reply, size_t QueryLength, const TIdDNSReplyParts& Parts) {
  TIdDNSHeader& h = Parts.Header;
  TIdDNSReader r(Reply);
  if (Reply.size() < 4)
    throw EIdDnsResolverError(
        text::Format("Received Packet is too small. Less than 4 bytes %d", dnscheck::Below4));
  uint16_t id = r.U16(dnscheck::Below4);
  // The identifier is the only link between query and reply (RFC 1035 7.3).
  if (id != h.ID) throw EIdDnsResolverError(text::Format("Invalid Header Id %d", int{h.ID}));
  h.Flags = r.U16(dnscheck::Below4);
  if (h.Rcode() != 0) throw EIdDnsResolverError(DNSRcodeText(h.Rcode()));
  if (Reply.size() < dnslimits::HeaderSize)
    throw EIdDnsResolverError(
        text::Format("Received Packet is too small. Less than 12 bytes %d", dnscheck::Below12));
  h.QDCount = r.U16(dnscheck::Below12);
  h.ANCount = r.U16(dnscheck::Below12);
  h.NSCount = r.U16(dnscheck::Below12);
  h.ARCount = r.U16(dnscheck::Below12);
  // A reply repeats the question, so it is never shorter than the query.
  if (Reply.size() < QueryLength)
    throw EIdDnsResolverError(
        text::Format("Received Packet is too small. Less than 12 bytes %d", dnscheck::BelowQuery));

  for (unsigned i = 0; i < h.QDCount; ++i) {
    TQuestionItem& q = *Parts.Questions.Add();
    q.QName = r.Name();
    q.QType = r.U16(dnscheck::QuestionType);
    r.Require(1, dnscheck::QuestionClassHi);
    r.Require(2, dnscheck::QuestionClassLo);
    q.QClass = r.U16(dnscheck::QuestionClassLo);
  }

  auto noRoom = [&](std::initializer_list<uint16_t> Counts, int Check) {
    if (r.Remaining() > 1) return;
    for (uint16_t c : Counts)
      if (c != 0)
        throw EIdDnsResolverError(text::Format("Received Packet is too small. %d", Check));
  };
  noRoom({h.ANCount, h.NSCount, h.ARCount}, dnscheck::NoRoomForAnswers);
  if (h.ANCount > 0) ParseRecords(r, h.ANCount, Parts.Answers);
  noRoom({h.NSCount, h.ARCount}, dnscheck::NoRoomForAuthority);
  if (h.NSCount > 0) ParseRecords(r, h.NSCount, Parts.Authority);
  noRoom({h.ARCount}, dnscheck::NoRoomForAdditional);
  if (h.ARCount > 0) ParseRecords(r, h.ARCount, Parts.Additional);
  return r.Offset() + 1;
}
