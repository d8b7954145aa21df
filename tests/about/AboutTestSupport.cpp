// The about tests' helpers that differ by system: changing the version block
// inside an executable file (objcopy on the section of a Linux executable; in
// place in the resource of a Windows one, found by the system's resource
// calls), and the stand-in web opener.
#include "tests/about/AboutTestSeams.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <system_error>

#include "platform/FileVersion.h"
#include "tests/support/HostProcess.h"
#endif
#include "tests/support/TestEnv.h"

namespace about_test {

namespace {

// How long Opened waits for the stand-in opener: it starts a process of its
// own (under Wine a command interpreter), which a loaded machine may delay.
constexpr int kOpenerWaitMs = 30000;
// Pause between two looks for the stand-in's note.
constexpr auto kOpenerPoll = std::chrono::milliseconds(20);

std::string ReadNote(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string ScopedWebOpener::Opened() const {
  // The stand-in writes a temporary file and renames it: a note that exists is
  // whole.
  for (int waited = 0; waited < kOpenerWaitMs && !std::filesystem::exists(FNote);
       waited += static_cast<int>(kOpenerPoll.count()))
    std::this_thread::sleep_for(kOpenerPoll);
  std::string note = ReadNote(FNote);
  while (!note.empty() && (note.back() == '\n' || note.back() == '\r')) note.pop_back();
  return note;
}

#ifdef _WIN32

namespace {

// The file offset of the version resource's data, or -1 when there is none.
// A module loaded as a data file is the file's bytes mapped as they are, so a
// resource's address minus the mapping's start is its place in the file.
long long VersionResourceOffset(const std::string& Path) {
  HMODULE module = LoadLibraryExA(Path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return -1;
  long long offset = -1;
  // A data-file module's handle is its mapping's address with the low bits
  // marking it as such.
  const auto base = reinterpret_cast<uintptr_t>(module) & ~uintptr_t{3};
  if (HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16))) {
    if (HGLOBAL data = LoadResource(module, res))
      offset = static_cast<long long>(reinterpret_cast<uintptr_t>(LockResource(data)) - base);
  }
  FreeLibrary(module);
  return offset;
}

}  // namespace

// The registry key whose default value is the command that opens http
// addresses.
constexpr const char* kHttpOpenKey = "http\\shell\\open\\command";
// The longest command read back from that key.
constexpr LONG kMaxCommand = 4096;

ScopedWebOpener::ScopedWebOpener(const std::string& Dir, const std::string& Note) : FNote(Note) {
  std::string old(kMaxCommand, '\0');
  LONG size = kMaxCommand;
  if (RegQueryValueA(HKEY_CLASSES_ROOT, kHttpOpenKey, old.data(), &size) == ERROR_SUCCESS) {
    FHadOld = true;
    FOld = old.c_str();
  }
  // The command interpreter writes the address beside the note and renames it
  // (no blank before "&&": echo would write it); its commands take back
  // slashes only.
  std::string note = Note;
  for (char& c : note)
    if (c == '/') c = '\\';
  const std::string tmp = note + ".tmp";
  const std::string command = Note.empty()
                                  ? "\"" + Dir + "\\missing.exe\" \"%1\""
                                  : "\"C:\\windows\\system32\\cmd.exe\" /c echo %1>\"" + tmp +
                                        "\"&& move /y \"" + tmp + "\" \"" + note + "\"";
  RegSetValueA(HKEY_CLASSES_ROOT, kHttpOpenKey, REG_SZ, command.c_str(),
               static_cast<DWORD>(command.size()));
}

ScopedWebOpener::~ScopedWebOpener() {
  if (FHadOld)
    RegSetValueA(HKEY_CLASSES_ROOT, kHttpOpenKey, REG_SZ, FOld.c_str(),
                 static_cast<DWORD>(FOld.size()));
  else
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kHttpOpenKey);
}

bool PatchVersionBlock(const std::string& Path, size_t Offset, const std::string& Bytes) {
  const long long at = VersionResourceOffset(Path);
  if (at < 0) return false;
  std::fstream f(Path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at + static_cast<long long>(Offset));
  f.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  return static_cast<bool>(f);
}

#else

// binutils' objcopy, run without a shell.
constexpr const char* kObjcopy = "/usr/bin/objcopy";

ScopedWebOpener::ScopedWebOpener(const std::string& Dir, const std::string& Note) : FNote(Note) {
  if (Note.empty()) {
    FPath = std::make_unique<testenv::ScopedVariable>("PATH", Dir.c_str());  // no opener anywhere
    return;
  }
  const std::string opener = Dir + "/xdg-open";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > '" + Note + ".tmp' && mv '" + Note +
                               ".tmp' '" + Note + "'\n";
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  FPath = std::make_unique<testenv::ScopedVariable>("PATH", (Dir + ":/usr/bin:/bin").c_str());
}

ScopedWebOpener::~ScopedWebOpener() = default;

bool PatchVersionBlock(const std::string& Path, size_t Offset, const std::string& Bytes) {
  const std::string section = Path + ".section";
  const std::string sectionArg = std::string(kVersionSection) + "=" + section;
  if (!host::ExitedCleanly(host::Run({kObjcopy, "--dump-section", sectionArg, Path}, "").Status))
    return false;
  std::string block;
  {
    std::ifstream in(section, std::ios::binary);
    block.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (Offset + Bytes.size() > block.size()) return false;
  block.replace(Offset, Bytes.size(), Bytes);
  std::ofstream(section, std::ios::binary)
      .write(block.data(), static_cast<std::streamsize>(block.size()));
  const bool ok =
      host::ExitedCleanly(host::Run({kObjcopy, "--update-section", sectionArg, Path}, "").Status);
  std::error_code ignored;  // a leftover copy of the section in the test's folder harms nothing
  std::filesystem::remove(section, ignored);
  return ok;
}

#endif

}  // namespace about_test
