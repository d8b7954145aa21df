#pragma once
// The parts of the about tests' helpers that differ by system
// (AboutTestSupport.cpp). This header includes no platform header of the
// program, so that the Windows implementation can include the system's.
#include <cstddef>
#include <memory>
#include <string>

namespace testenv {
class ScopedVariable;
}

namespace about_test {

// Overwrites the bytes at Offset of the version block that the executable
// file Path carries (its version section on Linux, its version resource on
// Windows) with Bytes. False when the file has no such block or cannot be
// changed.
bool PatchVersionBlock(const std::string& Path, size_t Offset, const std::string& Bytes);

// Replaces the desktop's opener of web addresses for the life of the object:
// with a stand-in that writes the address it is given to the file Note, or,
// when Note is empty, with nothing that can run. Dir is a private folder for
// the stand-in. Linux: an xdg-open script first on PATH (or a PATH without
// any). Windows: the "open" command of http addresses in the registry, which
// the shell reads for every call.
class ScopedWebOpener {
 public:
  ScopedWebOpener(const std::string& Dir, const std::string& Note);
  ~ScopedWebOpener();
  ScopedWebOpener(const ScopedWebOpener&) = delete;
  ScopedWebOpener& operator=(const ScopedWebOpener&) = delete;

  // What the stand-in wrote, without a final line end; waits until it has
  // written (the opener runs on its own), empty after kOpenerWaitMs.
  std::string Opened() const;

 private:
  std::string FNote;
  // Windows: the command the registry held before, restored at the end.
  std::string FOld;
  bool FHadOld = false;
  // Linux: PATH as the stand-in needs it, restored at the end.
  std::unique_ptr<testenv::ScopedVariable> FPath;
};

}  // namespace about_test
