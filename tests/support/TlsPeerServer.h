#pragma once
// A TLS server that decides how its stream ends (tests/support/tls_peer.py,
// Python's ssl under Debian's /usr/bin/python3): after the request's blank
// line it sends a fixed reply, then ends with close_notify or cuts the TCP
// stream without it, and records how the client ended its side.
//
//   TlsPeerServer peer(testtls::Make().Good, TlsPeerServer::End::Cut,
//                      "HTTP/1.0 200 OK\r\n\r\nhello");
//   peer.Start();
//   ... GET "https://localhost:" + port ...
//   peer.ClientEnds()  // {"notify"} when the client sent close_notify
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"
#include "tests/support/TestCertificates.h"

class TlsPeerServer : public PeerServer {
 public:
  enum class End { Notify, Cut };
  TlsPeerServer(testtls::KeyPair cert, End end, std::string reply);

  // How each finished connection's client ended: "notify", "cut", "timeout"
  // (waits up to kLogWait for count entries).
  std::vector<std::string> ClientEnds(size_t count) const;
  // Bound on waiting for the server to note a connection's end.
  static constexpr std::chrono::milliseconds kLogWait{5000};

 protected:
  void WriteConfig() override {}
  std::vector<std::string> Command() const override;
  std::vector<std::string> Environment() const override;
  bool IsReady() override;

 private:
  testtls::KeyPair Cert_;
  End End_;
  std::string Reply_;
};
