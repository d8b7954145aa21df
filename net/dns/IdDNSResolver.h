#pragma once
// Asks one DNS server one question over UDP and decodes the reply into lists
// of records (RFC 1035).
//
//   TIdDNSResolver r;
//   r.Host = "127.0.0.1";
//   r.ClearResults();
//   r.Header.SetRD(true);
//   TQuestionItem* q = r.Questions.Add();
//   q->QName = "example.org"; q->QType = 15; q->QClass = 1;
//   r.Resolve();   // r.Answers[i].RData.MX.Exchange ...
#include <string>

#include "net/dns/IdDNSRecords.h"
#include "net/dns/IdUDPClient.h"

class TIdDNSResolver : public TIdUDPClient {
 public:
  // Port 53, ReceiveTimeout 4000 ms.
  explicit TIdDNSResolver(TComponent* AOwner = nullptr);

  // Header.ClearCounts, then empties Questions, Answers, Authority, Additional.
  virtual void ClearResults();
  // Builds the query from Header and Questions, discards datagrams still queued
  // on the socket (late replies to earlier queries), sends the query to
  // Host:Port, waits up to ReceiveTimeout ms for the server's reply and decodes
  // it into Header and the four lists. While waiting, datagrams from any other
  // address or port and datagrams that do not carry the query's id are dropped
  // and the wait goes on within the same time-out. The reply is decoded also
  // when building, sending or receiving failed (then the previous reply is
  // decoded again); a decoding failure is what leaves then, else the first
  // failure. Raises EIdDnsResolverError (no reply: "Received Packet is too
  // small. Less than 4 bytes 28") and the socket errors of the UDP component.
  void Resolve();

  TIdDNSHeader Header;
  TIdDNSQuestionList Questions;
  TIdDNSResourceList Answers;
  TIdDNSResourceList Authority;
  TIdDNSResourceList Additional;
  std::string QueryPacket;
  int QueryLength = 0;
  std::string ReplyPacket;
  int ReplyLength = 0;

 protected:
  void BuildQuery();
  // Reads and drops, without waiting, the datagrams queued on an open socket
  // (at most dnslimits::MaxStaleDatagrams of them).
  void DiscardStaleDatagrams();
  // Waits for the server's reply to the query with id Header.ID until
  // ReceiveTimeout has passed since the call; the empty text after the
  // time-out. Raises EIdSocketError for a failed receive from the server
  // (10040 for a datagram longer than BufferSize).
  std::string ReceiveReply(const std::string& ServerIP);
  void ParseReply();

 private:
  // The source of every query's id, opened once with the resolver.
  TIdDNSRandom FIds;
};
