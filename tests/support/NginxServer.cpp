#include "tests/support/NginxServer.h"

#include <charconv>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kMimeTypes = "/etc/nginx/mime.types";
// Fields of the access log format, tab-separated (nginx escapes a tab inside
// a value, so the separator is unambiguous).
constexpr int kLogFields = 13;

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  for (;;) {
    const auto tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return out;
}

// A numeric field of the access log ($status, $body_bytes_sent), which nginx
// always writes as a decimal number; anything else means the log is not ours.
template <class T>
T LogNumber(const std::string& field, const std::string& line) {
  T value{};
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size())
    throw PeerServerError("nginx access log: \"" + field + "\" is not a number in: " + line);
  return value;
}

}  // namespace

NginxServer::NginxServer() : PeerServer("nginx", Ports::Tcp) {
  AddLogFile("error.log");
}

void NginxServer::AddFile(const std::string& relative, const std::string& content) const {
  WriteFile("www/" + relative, content);
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://" + HostPort() + path;
}

void NginxServer::WriteConfig() {
  const std::string d = Dir();
  std::filesystem::create_directories(d + "/www");
  std::filesystem::create_directories(d + "/temp");
  const bool haveMime = std::filesystem::exists(kMimeTypes);
  std::ostringstream c;
  // Single foreground process: the pid the harness holds is the server, and
  // SIGTERM to it ends everything.
  c << "daemon off;\n"
    << "master_process off;\n"
    << "worker_processes 1;\n"
    << "pid " << d << "/nginx.pid;\n"
    << "error_log " << d << "/error.log info;\n"
    << "events { worker_connections 64; }\n"
    << "http {\n"
    << (haveMime ? std::string("  include ") + kMimeTypes + ";\n"
                 : "  types { text/html html; text/plain txt; }\n")
    << "  default_type application/octet-stream;\n"
    << "  client_body_temp_path " << d << "/temp/body;\n"
    << "  proxy_temp_path " << d << "/temp/proxy;\n"
    << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n"
    << "  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
    << "  scgi_temp_path " << d << "/temp/scgi;\n"
    << "  log_format corvale '$request\\t$status\\t$http_host\\t$http_accept\\t"
       "$http_user_agent\\t$content_type\\t$content_length\\t$http_connection\\t"
       "$http_accept_encoding\\t$http_range\\t$http_authorization\\t$http_cookie\\t"
       "$body_bytes_sent';\n"
    << "  access_log " << d << "/access.log corvale;\n"
    << "  server_tokens off;\n"
    << HttpDirectives << "\n"
    << "  server {\n"
    << "    listen " << Address() << ":" << Port() << ListenParameters << ";\n"
    << "    server_name localhost;\n"
    << "    root " << d << "/www;\n"
    << ServerDirectives << "\n"
    << "  }\n"
    << "}\n";
  WriteFile("nginx.conf", c.str());
}

std::vector<std::string> NginxServer::Command() const {
  return {kNginx, "-p", Dir() + "/", "-c", Dir() + "/nginx.conf", "-e", Dir() + "/error.log"};
}

std::vector<NginxServer::AccessEntry> NginxServer::Requests() const {
  std::vector<AccessEntry> out;
  std::istringstream in(AccessLogText());
  std::string line;
  while (std::getline(in, line)) {
    const auto f = SplitTabs(line);
    if (f.size() != kLogFields) continue;
    AccessEntry r;
    r.RequestLine = f[0];
    r.Status = LogNumber<int>(f[1], line);
    r.Host = f[2];
    r.Accept = f[3];
    r.UserAgent = f[4];
    r.ContentType = f[5];
    r.ContentLength = f[6];
    r.Connection = f[7];
    r.AcceptEncoding = f[8];
    r.Range = f[9];
    r.Authorization = f[10];
    r.Cookie = f[11];
    r.BodyBytesSent = LogNumber<long>(f[12], line);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<NginxServer::AccessEntry> NginxServer::WaitForRequests(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + kLogWait;
  for (;;) {
    auto r = Requests();
    if (r.size() >= count || std::chrono::steady_clock::now() >= deadline) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
