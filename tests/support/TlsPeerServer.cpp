#include "tests/support/TlsPeerServer.h"

#include <sstream>
#include <thread>
#include <utility>

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kScript = CORVALE_TEST_SUPPORT_DIR "/tls_peer.py";

}  // namespace

TlsPeerServer::TlsPeerServer(testtls::KeyPair cert, End end, std::string reply)
    : PeerServer("tls-peer", Ports::Tcp),
      Cert_(std::move(cert)),
      End_(end),
      Reply_(std::move(reply)) {}

std::vector<std::string> TlsPeerServer::Command() const {
  return {kPython,   kScript,
          "--port",  std::to_string(Port()),
          "--cert",  Cert_.Cert,
          "--key",   Cert_.Key,
          "--end",   End_ == End::Notify ? "notify" : "cut",
          "--reply", Reply_,
          "--log",   Path("ends.log")};
}

std::vector<std::string> TlsPeerServer::Environment() const {
  // Keep another Python installation's settings away from Debian's interpreter.
  return {"PYTHONPATH", "PYTHONHOME", "PYTHONNOUSERSITE=1", "PYTHONUNBUFFERED=1",
          "PYTHONDONTWRITEBYTECODE=1"};
}

bool TlsPeerServer::IsReady() {
  // A probe connection would be a connection without a handshake in the log.
  return ReadFile("server.log").find("tls_peer listening") != std::string::npos;
}

std::vector<std::string> TlsPeerServer::ClientEnds(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + kLogWait;
  for (;;) {
    std::vector<std::string> ends;
    std::istringstream in(ReadFile("ends.log"));
    for (std::string line; std::getline(in, line);) ends.push_back(line);
    if (ends.size() >= count || std::chrono::steady_clock::now() >= deadline) return ends;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
