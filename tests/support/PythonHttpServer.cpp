#include "tests/support/PythonHttpServer.h"

#include <filesystem>

namespace {

// Debian's interpreter, never another python3 that may come first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
// The server script, in this folder (its path comes from the build).
constexpr const char* kScript = CORVALE_TEST_SUPPORT_DIR "/http_server.py";

}  // namespace

PythonHttpServer::PythonHttpServer() : PeerServer("python-http", Ports::Tcp) {}

void PythonHttpServer::AddFile(const std::string& relative, const std::string& content) const {
  WriteFile("www/" + relative, content);
}

std::string PythonHttpServer::Url(const std::string& path) const {
  return "http://" + HostPort() + path;
}

void PythonHttpServer::WriteConfig() {
  std::filesystem::create_directories(Path("www"));
}

std::vector<std::string> PythonHttpServer::Command() const {
  return {kPython,  kScript,     "--port", std::to_string(Port()),
          "--root", Path("www"), "--log",  Path("requests.log")};
}

std::vector<std::string> PythonHttpServer::Environment() const {
  // Keep another Python installation's settings away from Debian's interpreter.
  return {"PYTHONPATH", "PYTHONHOME", "PYTHONNOUSERSITE=1", "PYTHONUNBUFFERED=1",
          "PYTHONDONTWRITEBYTECODE=1"};
}

bool PythonHttpServer::IsReady() {
  return ReadFile("server.log").find("http_server listening") != std::string::npos;
}
