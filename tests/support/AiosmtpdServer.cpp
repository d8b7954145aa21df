#include "tests/support/AiosmtpdServer.h"

#include <filesystem>
#include <sstream>
#include <thread>

namespace {

// Debian's interpreter: python3-aiosmtpd is installed for it, not for any other
// python3 that may come first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
// The server script, in this folder (its path comes from the build).
constexpr const char* kScript = CORVALE_TEST_SUPPORT_DIR "/smtp_sink.py";

}  // namespace

AiosmtpdServer::AiosmtpdServer() : PeerServer("aiosmtpd", Ports::Tcp) {
  AddLogFile("mail/transcript.log");
}

void AiosmtpdServer::WriteConfig() {
  // The sink takes everything on its command line; only the mailbox folder is
  // prepared here.
  std::filesystem::create_directories(Path("mail"));
}

std::vector<std::string> AiosmtpdServer::Command() const {
  std::vector<std::string> argv = {kPython, kScript,      "--port", std::to_string(Port()),
                                   "--dir", Path("mail"), "--host", Address()};
  for (const auto& r : RejectRecipients) {
    argv.emplace_back("--reject-rcpt");
    argv.push_back(r);
  }
  if (!PlainOnlyExtension.empty()) {
    argv.emplace_back("--plain-only-extension");
    argv.push_back(PlainOnlyExtension);
  }
  if (Tls != TlsMode::None) {
    for (const char* a : {"--tls", Tls == TlsMode::StartTls ? "starttls" : "implicit", "--cert"})
      argv.emplace_back(a);
    argv.push_back(Certificate.Cert);
    argv.emplace_back("--key");
    argv.push_back(Certificate.Key);
  }
  return argv;
}

std::vector<std::string> AiosmtpdServer::Environment() const {
  // Keep another Python installation's settings away from Debian's interpreter.
  return {"PYTHONPATH", "PYTHONHOME", "PYTHONNOUSERSITE=1", "PYTHONUNBUFFERED=1",
          "PYTHONDONTWRITEBYTECODE=1"};
}

std::vector<AiosmtpdServer::Message> AiosmtpdServer::Messages() const {
  std::vector<Message> out;
  for (int n = 1;; ++n) {
    const std::string base = "mail/msg-" + std::to_string(n);
    // The .meta file is renamed into place last: its presence means complete.
    if (!std::filesystem::exists(Path(base + ".meta"))) break;
    Message m;
    std::istringstream meta(ReadFile(base + ".meta"));
    std::string line;
    while (std::getline(meta, line)) {
      const auto sp = line.find(' ');
      const std::string key = line.substr(0, sp);
      const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
      if (key == "helo") m.Helo = value;
      if (key == "from") m.MailFrom = value;
      if (key == "mailopt") m.MailOptions.push_back(value);
      if (key == "rcpt") m.RcptTo.push_back(value);
      if (key == "tls") m.Tls = value == "yes";
    }
    m.Data = ReadFile(base + ".eml");
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<AiosmtpdServer::Message> AiosmtpdServer::WaitForMessages(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + kMessageWait;
  for (;;) {
    auto m = Messages();
    if (m.size() >= count || std::chrono::steady_clock::now() >= deadline) return m;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool AiosmtpdServer::IsReady() {
  return ReadFile("server.log").find("smtp_sink listening") != std::string::npos;
}
