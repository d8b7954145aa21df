// UTF-8 paths to and from the UTF-16 of the system's wide calls.
#include "platform/WidePath.h"

#include <windows.h>

#include <limits>

#include "platform/Exception.h"
#include "platform/Files.h"

namespace files {

namespace {

// The conversion functions count in int; a longer path is no path Windows
// can open (the extended-length limit is 32,767 characters).
int Length(size_t N) {
  if (N > static_cast<size_t>(std::numeric_limits<int>::max()))
    throw EInOutError(IoErrorText(ERROR_FILENAME_EXCED_RANGE));
  return static_cast<int>(N);
}

}  // namespace

std::wstring WidePath(std::string_view Path) {
  if (Path.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, Path.data(), Length(Path.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, Path.data(), Length(Path.size()), out.data(), n);
  return out;
}

std::string Utf8Path(std::wstring_view Path) {
  if (Path.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, Path.data(), Length(Path.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, Path.data(), Length(Path.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

}  // namespace files
