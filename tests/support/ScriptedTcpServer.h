#pragma once
// An in-process TCP server on 127.0.0.1:<free port> that plays a script on each
// accepted connection: the faults real servers will not produce (a close in the
// middle of a line, a trickle, a reply that never comes, a reset).
//
//   ScriptedTcpServer srv(ScriptedTcpServer::Script()
//                             .Send("220 hi\r\n")
//                             .ExpectLine("EHLO me")
//                             .Send("250-first\r\n250-sec")
//                             .CloseNow());
//   ... connect a client to srv.Port() ...
//   srv.WaitForFinished(1);
//   EXPECT_EQ(srv.Received(0), "EHLO me\r\n");
//
// Each connection runs on its own thread, so a held connection does not keep
// the next one waiting. Every wait is bounded and watches a stop pipe: the
// destructor ends all of them and joins the threads, also while a client still
// holds a connection. The server's event log is printed to stderr when the
// current test has failed.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSockets.h"

class ScriptedTcpServer {
 public:
  // The steps for one connection, run in order. After the last step the
  // server closes gracefully (see CloseNow).
  class Script {
   public:
    // Writes bytes (all at once).
    Script& Send(std::string bytes);
    // Writes what make() returns, given every byte received so far on this
    // connection (to echo an id or a length back).
    Script& SendFrom(std::function<std::string(const std::string& received)> make);
    // Writes one byte at a time, pausing between bytes.
    Script& Trickle(std::string bytes, std::chrono::milliseconds perByte);
    // Reads one line (through LF).
    Script& ReadLine();
    // Reads one line and checks it equals line without its CRLF or LF; a
    // mismatch fails the current test and ends the connection.
    Script& ExpectLine(std::string line);
    // Reads until text has arrived (through text).
    Script& ReadUntil(std::string text);
    // Reads exactly count bytes.
    Script& ReadBytes(size_t count);
    // Reads until the client closes its side.
    Script& ReadToEnd();
    // Does nothing for a while.
    Script& Pause(std::chrono::milliseconds delay);
    // Ends our sending side (FIN) and carries on with the next step.
    Script& ShutdownWrite();
    // Closes now: FIN (the client reads an end of stream, possibly in the
    // middle of a line), then whatever the client still sends is read and
    // recorded until it closes, so it never sees a reset instead. Later steps
    // are skipped.
    Script& CloseNow();
    // Aborts the connection with a reset (RST) and skips later steps.
    Script& Reset();
    // Keeps the connection open without answering, recording what arrives,
    // until the client closes or the server is destroyed.
    Script& Hold();

   private:
    friend class ScriptedTcpServer;
    enum class Kind {
      Send,
      SendFrom,
      Trickle,
      ReadLine,
      ExpectLine,
      ReadUntil,
      ReadBytes,
      ReadToEnd,
      Pause,
      ShutdownWrite,
      CloseNow,
      Reset,
      Hold
    };
    struct Step {
      Kind Kind_;
      std::string Text;
      std::chrono::milliseconds Delay{0};
      size_t Count = 0;
      std::function<std::string(const std::string&)> Make;
    };
    Script& Add(Step s);
    std::vector<Step> Steps;
  };

  // Every connection plays the same script.
  explicit ScriptedTcpServer(Script everyConnection);
  // Connection N (from 0) plays perConnection[N]; later connections are
  // closed at once.
  explicit ScriptedTcpServer(std::vector<Script> perConnection);
  // Every connection plays the same script, on the given loopback address and
  // port instead of a free port of 127.0.0.1: where a built program, whose
  // endpoints are fixed, looks for its peer (the sandbox address).
  ScriptedTcpServer(Script everyConnection, const std::string& address, uint16_t port);
  ~ScriptedTcpServer();
  ScriptedTcpServer(const ScriptedTcpServer&) = delete;
  ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

  uint16_t Port() const { return Port_; }
  std::string HostPort() const { return Address_ + ":" + std::to_string(Port_); }

  // Connections accepted so far.
  size_t Connections() const;
  // Connections whose script has ended. A connection that ends gracefully
  // (CloseNow, end of script) then still records what the client sends until
  // it closes, for up to kDrainTimeout.
  size_t Finished() const;
  // Every byte received on connection n (from 0) so far; empty if none.
  std::string Received(size_t n = 0) const;
  // What happened, one line per event ("#0 client closed during ReadLine").
  std::string Log() const;

  // Waits (up to timeout) until at least count connections were accepted /
  // have finished; returns whether they did. A finished connection has
  // already sent its FIN or been closed, so the client can see its end.
  bool WaitForConnections(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;
  bool WaitForFinished(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;

  // Longest a read step waits for the client: a client under test answers in
  // well under this, and a lost client must not keep a thread forever.
  static constexpr std::chrono::milliseconds kStepTimeout{10000};
  // How long a closing connection keeps reading for the client to close its
  // side, so the client never sees a reset caused by unread bytes.
  static constexpr std::chrono::milliseconds kDrainTimeout{3000};
  // Default bound of the Wait... helpers.
  static constexpr std::chrono::milliseconds kDefaultWait{5000};

 private:
  class Connection;
  ScriptedTcpServer(std::vector<Script> scripts, bool repeat, const std::string& address,
                    uint16_t port);
  void AcceptLoop();
  void Serve(size_t index, testnet::Handle fd);
  void Note(size_t index, const std::string& what);
  void ScriptEnded();
  void AddReceived(size_t index, const char* data, size_t len);

  std::vector<Script> Scripts_;
  bool Repeat_;
  testnet::Socket Listen_;
  // The stop signal: a byte written to StopWrite_ makes StopRead_ readable
  // for every waiting thread (a connected pair, which poll watches on both
  // systems).
  testnet::Socket StopRead_, StopWrite_;
  uint16_t Port_ = 0;
  std::string Address_;

  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;
  std::vector<std::string> Received_;
  std::string Log_;
  size_t Finished_ = 0;

  std::vector<std::thread> Workers_;  // touched by the accept thread, then the destructor
  std::thread Acceptor_;
};
