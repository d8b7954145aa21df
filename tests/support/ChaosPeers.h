#pragma once
// Peers that misbehave at random, for the long runs of the whole address
// check: one process (tests/support/chaos_peers.py) serving the echo page over
// HTTP, MX queries over UDP and SMTP on loopback ports of its own choosing.
// Each request, query or session draws a behaviour from a generator keyed by
// the seed and by what the client asked for, so one seed replays a run
// exactly. What each draw chose, and each message whose data arrived whole, is
// read back with NewEvents().
//
//   ChaosPeers peers(seed);
//   peers.Start();
//   ... GET http://127.0.0.1:<HttpPort()>/c<N>/GetMyIP.pl,
//       MX queries for n<N>r<I>.test to DnsPort(), SMTP to SmtpPort() ...
//   for (const auto& e : peers.NewEvents()) ...  // e[0]: "http", "dns", "smtp", "mail"
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class ChaosPeers : public PeerServer {
 public:
  explicit ChaosPeers(uint64_t Seed);

  uint64_t Seed() const { return Seed_; }
  // The ports the peers listen on; valid after Start().
  uint16_t HttpPort() const { return HttpPort_; }
  uint16_t DnsPort() const { return DnsPort_; }
  uint16_t SmtpPort() const { return SmtpPort_; }

  // The events logged since the last call, complete lines only, each split
  // into its decoded fields (see chaos_peers.py for their meaning):
  //   {"http", tag, behaviour, expected address or "-"}
  //   {"dns",  tag, behaviour, "mx" or "-"}
  //   {"smtp", tag, behaviour, "accept" or "-"}
  //   {"mail", tag, reverse path, recipients, data, reply code or "reset"}
  std::vector<std::vector<std::string>> NewEvents();

  // A field as logged: percent-encoding undone.
  static std::string DecodeField(const std::string& Field);

 protected:
  void WriteConfig() override {}
  std::vector<std::string> Command() const override;
  std::vector<std::string> Environment() const override;
  // Ready when the peers report their ports (read from the log).
  bool IsReady() override;

 private:
  uint64_t Seed_;
  uint16_t HttpPort_ = 0;
  uint16_t DnsPort_ = 0;
  uint16_t SmtpPort_ = 0;
  uint64_t EventsRead_ = 0;  // bytes of the event log already returned
  std::string Partial_;      // a line whose end has not been written yet
};
