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
#include "tests/about/AboutTestSeams.h"

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
  std::string copy = Dir + "/" + Name;
  std::filesystem::copy_file(files::ExecutablePath(), copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// A copy at Dir/Name of a program of this build that carries no version
// information (it does not link the about box).
inline std::string CopyWithoutVersion(const std::string& Dir, const std::string& Name) {
  std::string copy = Dir + "/" + Name;
  std::filesystem::copy_file(CORVALE_PLAIN_EXE, copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

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
