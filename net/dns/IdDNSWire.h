#pragma once
// The resolver's wire format (RFC 1035 4.1): building a query from a header
// and questions, and decoding a reply into a header, questions and the three
// record sections. Both work on bytes only, never on a socket.
#include <cstddef>
#include <string>
#include <string_view>

#include "net/dns/IdDNSRecords.h"

// Where a decoded reply goes.
struct TIdDNSReplyParts {
  TIdDNSHeader& Header;
  TIdDNSQuestionList& Questions;
  TIdDNSResourceList& Answers;
  TIdDNSResourceList& Authority;
  TIdDNSResourceList& Additional;
};

// Sets Header.ID to a new random number below 62000 and Header.QDCount to the
// number of questions, and returns the query: the header with Flags as set by
// the caller and zero answer, authority and additional counts, then each
// question's name, QType and QClass. Raises EIdDnsResolverError
// "Invaild Query Count 1" without questions, and the obsolete-type messages for
// a question of type MD, MF or MAILA.
std::string BuildDNSQuery(TIdDNSHeader& Header, const TIdDNSQuestionList& Questions);
// The same, drawing the id from Ids.
std::string BuildDNSQuery(TIdDNSHeader& Header, const TIdDNSQuestionList& Questions,
                          TIdDNSRandom& Ids);

// Writes QName as it goes into a question of type QType: its labels, each
// behind its length byte (the reversed labels under in-addr.arpa for PTR),
// without the terminating zero byte. Raises for MD, MF and MAILA.
void EncodeDNSQuestionName(std::string& Out, const std::string& QName, uint16_t QType);

// Decodes Reply into Parts, which the caller has cleared; Parts.Header.ID is
// the identifier expected. Returns the offset after the last byte decoded,
// plus one. Raises EIdDnsResolverError: "Received Packet is too small..." (28
// to 33), "Invalid Header Id %d", the RCODE texts, "Invalid Packet Size %d"
// (2 to 23) and the obsolete-type messages. What was decoded before a failure
// stays in Parts.
size_t ParseDNSReply(std::string_view Reply, size_t QueryLength, const TIdDNSReplyParts& Parts);

// Whether Datagram begins with the identifier Id. A datagram too short to hold
// an identifier (fewer than two bytes) carries no one's, so it is false.
bool DNSMessageHasId(std::string_view Datagram, uint16_t Id);

// The text for an RCODE (0 to 15).
std::string DNSRcodeText(unsigned Rcode);
