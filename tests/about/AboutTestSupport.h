#pragma once
// Helpers of the about tests: a private temporary directory, copies of the
// running test executable and of a program without version information, a
// damaged version block, and the shipped picture.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "about/AboutPicture.h"
#include "about/JPEGImage.h"
#include "platform/FileVersion.h"
#include "platform/Files.h"

namespace about_test {

class TempDir {
 public:
  // A new folder under a random name (mkdtemp is not on every system).
  TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && Path.empty(); ++attempt) {
      const auto dir =
          std::filesystem::temp_directory_path() / ("corvale-about-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(dir, ec)) Path = dir.string();
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  std::string Path;
};

// A copy of this test executable at Dir/Name.
inline std::string CopySelf(const std::string& Dir, const std::string& Name) {
  const std::string copy = Dir + "/" + Name;
  std::filesystem::copy_file(files::ExecutablePath(), copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// A copy at Dir/Name of a program of this build that carries no version
// information (it does not link the about box).
inline std::string CopyWithoutVersion(const std::string& Dir, const std::string& Name) {
  const std::string copy = Dir + "/" + Name;
  std::filesystem::copy_file(CORVALE_PLAIN_EXE, copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// Overwrites the bytes at Offset of the version block that the executable
// file Path carries (its version section on Linux, its version resource on
// Windows) with Bytes. False when the file has no such block or cannot be
// changed. (AboutTestSupport.cpp: the one part that differs by system.)
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
  std::string FNote, FOld;
  bool FHadOld = false;
};

inline std::string ReadAll(const std::string& Path) {
  return files::ReadFile(Path);
}

inline void WriteAll(const std::string& Path, const std::string& Data) {
  std::ofstream(Path, std::ios::binary)
      .write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

inline std::string ShippedJPEG() {
  auto b = AboutPictureJPEG();
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

inline TJPEGImage JPEGFrom(const std::string& Data) {
  TJPEGImage j;
  j.LoadFromBytes({reinterpret_cast<const uint8_t*>(Data.data()), Data.size()});
  return j;
}

}  // namespace about_test
