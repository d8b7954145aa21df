#pragma once
// Python's http.server (Debian's /usr/bin/python3) on a free loopback port,
// driven by tests/support/http_server.py: a second real web server that
// answers with HTTP/1.0 (with or without Content-Length) and, on request, with
// a chunked HTTP/1.1 body.
//
//   PythonHttpServer py;
//   py.AddFile("a.txt", "hello");
//   py.Start();
//   ... GET py.Url("/a.txt")                       HTTP/1.0, Content-Length 5
//   ... GET py.Url("/noclen/a.txt")                HTTP/1.0, body up to the close
//   ... GET py.Url("/chunked/a.txt?sizes=2,3")     HTTP/1.1, chunks of 2 and 3
//   py.RequestsLog()  // request lines and headers as the server parsed them
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class PythonHttpServer : public PeerServer {
 public:
  PythonHttpServer();

  // Places a file below the served directory (before or after Start()).
  void AddFile(const std::string& relative, const std::string& content) const;
  // "http://127.0.0.1:<port>" + path (path starts with '/').
  std::string Url(const std::string& path = "/") const;
  // Every request as received: its request line, its header lines ("Name: value"),
  // an empty line.
  std::string RequestsLog() const { return ReadFile("requests.log"); }

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
  std::vector<std::string> Environment() const override;
  // Ready when the script says it listens (a probe connection would be an
  // incomplete request in its log).
  bool IsReady() override;
};
