// The resolver's exchange: one query datagram to the server, one reply back
// (RFC 1035 4.2.1).
#include "net/dns/IdDNSResolver.h"

#include <chrono>
#include <exception>

#include "net/dns/IdDNSLimits.h"
#include "net/dns/IdDNSWire.h"

TIdDNSResolver::TIdDNSResolver(TComponent* AOwner) : TIdUDPClient(AOwner) {
  Port = dnslimits::DefaultPort;
  ReceiveTimeout = dnslimits::DefaultReceiveTimeout;
}

void TIdDNSResolver::ClearResults() {
  Header.ClearCounts();
  Questions.Clear();
  Answers.Clear();
  Authority.Clear();
  Additional.Clear();
}

void TIdDNSResolver::BuildQuery() {
  QueryPacket = BuildDNSQuery(Header, Questions, FIds);
  QueryLength = static_cast<int>(QueryPacket.size());
}

void TIdDNSResolver::DiscardStaleDatagrams() {
  // A socket that is not open yet has received nothing.
  if (!GetActive()) return;
  // The socket lives as long as the resolver, so a reply that came after an
  // earlier query's time-out is still queued here; read as this query's reply
  // it would fail it, and every later query would read the next stale one.
  // UDP hands a datagram over whole or drops whatever does not fit, so a
  // small buffer discards any datagram; what the read reports is of no use.
  char scratch[dnslimits::HeaderSize];
  for (int i = 0; i < dnslimits::MaxStaleDatagrams && SocketHandle().WaitReadable(0); ++i) {
    std::string ip;
    int port = 0;
    RecvRaw(scratch, static_cast<int>(sizeof scratch), ip, port);
  }
}

std::string TIdDNSResolver::ReceiveReply(const std::string& ServerIP) {
  using Clock = std::chrono::steady_clock;
  const int timeout = EffectiveTimeout(TimeoutDefault);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
  std::string reply;
  for (bool first = true;; first = false) {
    int wait = timeout;
    if (timeout >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      // The deadline is looked at before every read, not only before every
      // wait: datagrams that keep arriving (a flood of strangers or of wrong
      // ids) would otherwise be read and dropped one by one long after it,
      // and the lookup would last as long as anyone kept sending. A time-out
      // of 0 still looks once at what has already arrived.
      if (left <= 0 && !first) return std::string();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    if (!SocketHandle().WaitReadable(wait)) return std::string();
    reply.resize(static_cast<size_t>(BufferSize));
    std::string ip;
    int port = 0;
    int n = RecvRaw(reply.data(), BufferSize, ip, port);
    // Only the server's own address and port can answer: anything else (a
    // spoofed or stray datagram, whatever its size) is dropped unread and the
    // wait goes on until the deadline.
    if (!ip.empty() && (ip != ServerIP || port != Port)) continue;
    GlobalStack->CheckSocketResult(n);
    reply.resize(static_cast<size_t>(n));
    // The id is the only link between a query and its reply (RFC 1035 7.3).
    // A datagram without this query's id answers something else (a reply
    // that came after an earlier query gave up), and one too short to hold an
    // id (an empty one included) answers nothing: either is dropped like a
    // stranger's datagram, and the wait goes on until the same deadline. A
    // datagram with the right id is the reply, whatever its form.
    if (!DNSMessageHasId(reply, Header.ID)) continue;
    return reply;
  }
}

void TIdDNSResolver::ParseReply() {
  ClearResults();
  ReplyLength = static_cast<int>(ReplyPacket.size());
  ReplyLength = static_cast<int>(
      ParseDNSReply(ReplyPacket, static_cast<size_t>(QueryLength),
                    TIdDNSReplyParts{Header, Questions, Answers, Authority, Additional}));
}

void TIdDNSResolver::Resolve() {
  std::exception_ptr first;
  try {
    BuildQuery();
    std::string server = GlobalStack->ResolveAddress(Host);
    DiscardStaleDatagrams();
    SendBytes(server, Port, QueryPacket.data(), QueryLength);
    ReplyPacket = ReceiveReply(server);
  } catch (...) {
    first = std::current_exception();
  }
  // The reply buffer is decoded in every case; when that fails too, its error
  // is the one the caller sees.
  ParseReply();
  if (first) std::rethrow_exception(first);
}
