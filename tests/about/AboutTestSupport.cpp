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
#include <cstdlib>

#include "platform/FileVersion.h"
#endif

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

ScopedWebOpener::ScopedWebOpener(const std::string& Dir, const std::string& Note) : FNote(Note) {
  if (const char* old = std::getenv("PATH")) {
    FHadOld = true;
    FOld = old;
  }
  if (Note.empty()) {
    setenv("PATH", Dir.c_str(), 1);  // no opener anywhere
    return;
  }
  const std::string opener = Dir + "/xdg-open";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > '" + Note + ".tmp' && mv '" + Note +
                               ".tmp' '" + Note + "'\n";
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  setenv("PATH", (Dir + ":/usr/bin:/bin").c_str(), 1);
}

ScopedWebOpener::~ScopedWebOpener() {
  if (FHadOld)
    setenv("PATH", FOld.c_str(), 1);
  else
    unsetenv("PATH");
}

bool PatchVersionBlock(const std::string& Path, size_t Offset, const std::string& Bytes) {
  const std::string section = Path + ".section";
  const std::string dump = std::string("objcopy --dump-section ") + kVersionSection + "='" +
                           section + "' '" + Path + "'";
  if (std::system(dump.c_str()) != 0) return false;
  std::string block;
  {
    std::ifstream in(section, std::ios::binary);
    block.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (Offset + Bytes.size() > block.size()) return false;
  block.replace(Offset, Bytes.size(), Bytes);
  std::ofstream(section, std::ios::binary)
      .write(block.data(), static_cast<std::streamsize>(block.size()));
  const std::string update = std::string("objcopy --update-section ") + kVersionSection + "='" +
                             section + "' '" + Path + "'";
  const bool ok = std::system(update.c_str()) == 0;
  std::remove(section.c_str());
  return ok;
}

#endif

}  // namespace about_test
