#pragma once
// An in-process UDP server on 127.0.0.1:<free port> that answers each
// datagram it receives as a script says: the faults a real DNS server will not
// produce (a lying length, a pointer loop, a wrong id, an oversize datagram,
// an empty one, a reply from another port, no reply at all, a reply sent after
// the client stopped waiting, a flood).
//
//   ScriptedUdpServer srv([](const std::string& query) {
//     return std::vector<ScriptedUdpServer::Reply>{{WithIdOf(query, reply)}};
//   });
//   ... send to 127.0.0.1:srv.Port() ...
//   srv.Queries()[0]  // the bytes of the first datagram received
//
// The server thread watches a stop pipe, so the destructor ends it at once,
// also in the middle of a delayed reply.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSockets.h"

class ScriptedUdpServer {
 public:
  // One datagram sent back to the client of a query.
  struct Reply {
    std::string Bytes;
    // Sent from a second socket (another port of 127.0.0.1), as a spoofer would.
    bool FromOtherPort = false;
    // Waited before sending.
    std::chrono::milliseconds Delay{0};
    // When set, the datagram is sent again and again without pause for this
    // long (a flood) by FloodThreads threads at once, then the script goes on.
    // More than one thread outpaces any reader that also has to look at what
    // it reads.
    std::chrono::milliseconds Flood{0};
    unsigned FloodThreads = 1;
  };
  // Given the bytes of a received datagram, the datagrams to send back (none:
  // the query goes unanswered).
  using Script = std::function<std::vector<Reply>(const std::string& datagram)>;

  explicit ScriptedUdpServer(Script script);
  ~ScriptedUdpServer();
  ScriptedUdpServer(const ScriptedUdpServer&) = delete;
  ScriptedUdpServer& operator=(const ScriptedUdpServer&) = delete;

  uint16_t Port() const { return Port_; }
  // The port the FromOtherPort replies come from.
  uint16_t OtherPort() const { return OtherPort_; }
  // Every datagram received so far, oldest first.
  std::vector<std::string> Queries() const;
  // Waits up to timeout for at least count datagrams; returns whether they came.
  bool WaitForQueries(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;

  // Sends Bytes from the server's port to the sender of the last datagram
  // received, at once and outside the script: a reply that comes after the
  // client has stopped waiting. Throws std::logic_error before any datagram.
  void SendToLastClient(const std::string& Bytes);
  // The script's replies sent so far.
  size_t RepliesSent() const;

  // A reply with its first two bytes (the DNS id) replaced by the query's.
  static std::string WithIdOf(const std::string& query, std::string reply);

  // Default bound of WaitForQueries.
  static constexpr std::chrono::milliseconds kDefaultWait{5000};
  // Largest datagram the server reads (a UDP datagram cannot be longer).
  static constexpr size_t kMaxDatagram = 65536;

 private:
  void Loop();
  // Sleeps for delay unless stopped first; returns false when stopped.
  bool Wait(std::chrono::milliseconds delay) const;
  // Sends r to the socket address From (of length Len) as r says: once, or
  // for the length of its flood.
  void SendReply(const Reply& r, const void* From, socklen_t Len) const;
  // Whether the destructor has asked the server to stop.
  bool Stopped() const;
  // A flood looks at the stop pipe once per this many datagrams.
  static constexpr unsigned kFloodStopCheck = 256;
  // Datagrams handed over in one call by a flood where the system allows it.
  static constexpr size_t kFloodBatch = 64;

  Script Script_;
  testnet::Socket Fd_, OtherFd_;
  testnet::Socket StopRead_, StopWrite_;
  uint16_t Port_ = 0, OtherPort_ = 0;
  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;
  std::vector<std::string> Queries_;
  // The socket address of the last datagram's sender, as bytes (empty before
  // the first), so that this header needs no socket headers.
  std::string LastClient_;
  size_t RepliesSent_ = 0;
  std::thread Thread_;
};
