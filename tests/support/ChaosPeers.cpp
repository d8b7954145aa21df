#include "tests/support/ChaosPeers.h"

#include <fstream>
#include <sstream>

namespace {

// Debian's interpreter, never another python3 that may come first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
// The server script, in this folder (its path comes from the build).
constexpr const char* kScript = CORVALE_TEST_SUPPORT_DIR "/chaos_peers.py";
// The line the peers print once they listen, followed by their ports.
constexpr const char* kReadyLine = "chaos_peers seed=";
// The event log in the server's directory.
constexpr const char* kEventsFile = "events.tsv";

// The number after "Key=" in Line, 0 when there is none.
uint16_t PortAfter(const std::string& Line, const std::string& Key) {
  const size_t at = Line.find(" " + Key + "=");
  if (at == std::string::npos) return 0;
  unsigned long v = std::stoul(Line.substr(at + Key.size() + 2));
  return v > 0 && v <= 65535 ? static_cast<uint16_t>(v) : 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

ChaosPeers::ChaosPeers(uint64_t Seed) : PeerServer("chaos", Ports::None), Seed_(Seed) {}

std::vector<std::string> ChaosPeers::Command() const {
  return {kPython,    kScript,           "--seed", std::to_string(Seed_),
          "--events", Path(kEventsFile), "--host", Address()};
}

std::vector<std::string> ChaosPeers::Environment() const {
  // Keep another Python installation's settings away from Debian's interpreter.
  return {"PYTHONPATH", "PYTHONHOME", "PYTHONNOUSERSITE=1", "PYTHONUNBUFFERED=1",
          "PYTHONDONTWRITEBYTECODE=1"};
}

bool ChaosPeers::IsReady() {
  const std::string log = ReadFile("server.log");
  const size_t at = log.find(kReadyLine);
  if (at == std::string::npos) return false;
  const size_t end = log.find('\n', at);
  if (end == std::string::npos) return false;
  const std::string line = log.substr(at, end - at);
  HttpPort_ = PortAfter(line, "http");
  DnsPort_ = PortAfter(line, "dns");
  SmtpPort_ = PortAfter(line, "smtp");
  return HttpPort_ && DnsPort_ && SmtpPort_;
}

std::string ChaosPeers::DecodeField(const std::string& Field) {
  std::string out;
  out.reserve(Field.size());
  for (size_t i = 0; i < Field.size(); ++i) {
    int hi = 0;
    int lo = 0;
    if (Field[i] == '%' && i + 2 < Field.size() && (hi = HexDigit(Field[i + 1])) >= 0 &&
        (lo = HexDigit(Field[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += Field[i];
    }
  }
  return out;
}

std::vector<std::vector<std::string>> ChaosPeers::NewEvents() {
  std::vector<std::vector<std::string>> events;
  std::ifstream in(Path(kEventsFile), std::ios::binary);
  if (!in) return events;
  in.seekg(static_cast<std::streamoff>(EventsRead_));
  std::ostringstream chunk;
  chunk << in.rdbuf();
  const std::string data = chunk.str();
  EventsRead_ += data.size();
  Partial_ += data;
  size_t start = 0;
  size_t end;
  while ((end = Partial_.find('\n', start)) != std::string::npos) {
    std::vector<std::string> fields;
    size_t p = start;
    for (;;) {
      const size_t tab = Partial_.find('\t', p);
      const size_t stop = tab == std::string::npos || tab > end ? end : tab;
      fields.push_back(DecodeField(Partial_.substr(p, stop - p)));
      if (stop == end) break;
      p = stop + 1;
    }
    events.push_back(std::move(fields));
    start = end + 1;
  }
  Partial_.erase(0, start);
  return events;
}
