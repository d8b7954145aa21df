#pragma once
// nginx (/usr/sbin/nginx) on a free loopback port, running in the foreground
// as one process from a private prefix: configuration, pid file, temp paths,
// docroot and logs all live in the server's directory.
//
//   NginxServer web;
//   web.AddFile("GetMyIP.pl", "BEGINIP127.0.0.1ENDIP");
//   web.ServerDirectives = "location = /moved { return 301 /GetMyIP.pl; }";
//   web.Start();
//   ... fetch "http://" + web.HostPort() + "/GetMyIP.pl" ...
//   auto reqs = web.WaitForRequests(1);  // reqs[0].RequestLine == "GET /GetMyIP.pl HTTP/1.1"
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class NginxServer : public PeerServer {
 public:
  // One access log line: the request line and the headers the tests look at.
  // A header the client did not send reads "-" (nginx's own notation); nginx
  // writes bytes outside printable ASCII, '"' and '\' as "\xHH".
  struct AccessEntry {
    std::string RequestLine;  // "GET /path HTTP/1.1"
    int Status = 0;
    std::string Host, Accept, UserAgent, ContentType, ContentLength, Connection;
    std::string AcceptEncoding, Range, Authorization, Cookie;
    long BodyBytesSent = 0;
  };

  NginxServer();

  // Pasted into the server block (location blocks, return, add_header, ...).
  // Set before Start().
  std::string ServerDirectives;
  // Pasted into the http block, outside the server block (upstream, map, ...).
  std::string HttpDirectives;
  // Pasted after the listen address and port (" ssl" for TLS). Set before Start().
  std::string ListenParameters;

  // Places a file below the docroot (before or after Start()).
  void AddFile(const std::string& relative, const std::string& content) const;
  std::string DocRoot() const { return Path("www"); }
  // "http://127.0.0.1:<port>" + path (path starts with '/').
  std::string Url(const std::string& path = "/") const;

  std::string AccessLogText() const { return ReadFile("access.log"); }
  std::string ErrorLogText() const { return ReadFile("error.log"); }
  // Parsed access log, oldest first.
  std::vector<AccessEntry> Requests() const;
  // nginx writes a log line after the response has gone out, so a client that
  // just read its reply may be ahead of the log: waits up to kLogWait for at
  // least count lines, then returns what is there.
  std::vector<AccessEntry> WaitForRequests(size_t count) const;

  // Bound on waiting for nginx to log a request it already answered.
  static constexpr std::chrono::milliseconds kLogWait{3000};

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
};
