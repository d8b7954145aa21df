#include "tests/support/TestEnv.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace testenv {

namespace {

void Set(const std::string& name, const char* value) {
#ifdef _WIN32
  // _putenv_s with an empty value removes the variable from the C runtime's
  // copy; SetEnvironmentVariableA with nullptr from the process's.
  _putenv_s(name.c_str(), value ? value : "");
  SetEnvironmentVariableA(name.c_str(), value);
#else
  // Callers change the environment only while no other thread of the test runs
  // (see TestEnv.h), so nothing reads it meanwhile.
  if (value)
    ::setenv(name.c_str(), value, 1);  // NOLINT(concurrency-mt-unsafe): no other thread runs
  else
    ::unsetenv(name.c_str());  // NOLINT(concurrency-mt-unsafe): no other thread runs
#endif
}

#ifdef _WIN32
// Tries at different random names before giving up on making a folder.
constexpr int kTempDirTries = 100;
#endif

}  // namespace

ScopedVariable::ScopedVariable(std::string name, const char* value) : Name_(std::move(name)) {
  if (const char* old = std::getenv(Name_.c_str())) {
    Old_ = old;
    HadOld_ = true;
  }
  Set(Name_, value);
}

ScopedVariable::~ScopedVariable() {
  Set(Name_, HadOld_ ? Old_.c_str() : nullptr);
}

void ReadTz() {
#ifdef _WIN32
  _tzset();
#else
  ::tzset();
#endif
}

ScopedTz::ScopedTz(const char* tz) {
  if (const char* old = std::getenv("TZ")) {
    Old_ = old;
    HadOld_ = true;
  }
  Set("TZ", tz);
  ReadTz();
}

ScopedTz::~ScopedTz() {
  Set("TZ", HadOld_ ? Old_.c_str() : nullptr);
  ReadTz();
}

std::string MakeTempDir(const std::string& prefix) {
#ifdef _WIN32
  std::random_device rd;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int i = 0; i < kTempDirTries; ++i) {
    const std::filesystem::path dir = base / (prefix + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(dir, ec)) return dir.string();
  }
  throw std::runtime_error("cannot make a temporary folder in " + base.string());
#else
  std::string templ = "/tmp/" + prefix + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr)
    throw std::runtime_error("mkdtemp " + templ + ": " + std::system_category().message(errno));
  return buf.data();
#endif
}

std::map<std::string, std::string> FolderContents(const std::string& Dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(Dir)) {
    std::string& content = out[e.path().filename().string()];
    if (!e.is_regular_file() || e.is_symlink()) {
      content = "(not a file)";
      continue;
    }
    std::ifstream in(e.path(), std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

std::vector<std::string> TemporaryFilesBeside(const std::string& File) {
  const std::filesystem::path file(File);
  const std::string prefix = file.filename().string() + ".";
  const std::string suffix = "tmp";
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(file.parent_path())) {
    const std::string name = e.path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(name);
  }
  return out;
}

ScopedWriteProtect::ScopedWriteProtect(std::string dir, std::string file)
    : Dir_(std::move(dir)), File_(std::move(file)) {
#ifdef _WIN32
  const std::string path = Dir_ + "/" + File_;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) Held_ = h;
#else
  std::filesystem::permissions(
      Dir_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
#endif
}

ScopedWriteProtect::~ScopedWriteProtect() {
#ifdef _WIN32
  if (Held_) CloseHandle(static_cast<HANDLE>(Held_));
#else
  std::error_code ec;
  std::filesystem::permissions(Dir_, std::filesystem::perms::owner_all, ec);
#endif
}

bool ScopedWriteProtect::Binds() {
#ifdef _WIN32
  return true;
#else
  return ::geteuid() != 0;
#endif
}

ScopedFileSizeLimit::ScopedFileSizeLimit(uint64_t bytes) {
#ifdef _WIN32
  (void)bytes;
#else
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  OldSoft_ = limit.rlim_cur;
  OldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  if (OldHandler_ == SIG_ERR) throw std::runtime_error("cannot ignore SIGXFSZ");
  limit.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &limit);
#endif
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
#ifndef _WIN32
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = OldSoft_;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  // A destructor cannot throw; say so when the old disposition stays lost.
  if (std::signal(SIGXFSZ, OldHandler_) == SIG_ERR)
    std::cerr << "ScopedFileSizeLimit: cannot restore the SIGXFSZ disposition\n";
#endif
}

}  // namespace testenv
