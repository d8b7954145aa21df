#pragma once
// Text helpers shared by every layer. Texts are byte strings (UTF-8 on Linux);
// "blank" in trimming means any character with a code from 0 to 32.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace text {

std::string Trim(std::string_view S);
std::string TrimLeft(std::string_view S);
std::string TrimRight(std::string_view S);
std::string UpperCase(std::string_view S);  // ASCII letters only
std::string LowerCase(std::string_view S);
bool SameText(std::string_view A, std::string_view B);  // ASCII case-insensitive
bool StartsText(std::string_view Prefix, std::string_view S);

// Decimal integer with optional sign (and "$"/"0x" hexadecimal). Raises
// EConvertError "'%s' is not a valid integer value" for anything else or for a
// value outside 32 bits.
int StrToInt(std::string_view S);
bool TryStrToInt(std::string_view S, int& Value);
bool TryStrToInt64(std::string_view S, int64_t& Value);
std::string IntToStr(int64_t Value);

// Cuts S at the first Delimiter: returns the text before it and removes it and
// the delimiter from S. Without the delimiter the whole of S is returned and S
// becomes empty.
std::string Fetch(std::string& S, std::string_view Delimiter);

// At most MaxBytes bytes of S, never cutting inside a UTF-8 sequence: a
// sequence the cut would split is dropped whole, and nothing more. Bytes that
// are not UTF-8 (continuation bytes that follow no lead byte) are cut at
// MaxBytes like any others.
std::string CutUtf8(std::string_view S, size_t MaxBytes);

// printf-style formatting into a std::string.
template <typename... Args>
std::string Format(const char* Fmt, Args... args) {
  int n = std::snprintf(nullptr, 0, Fmt, args...);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  // Writes the n bytes measured above and the terminating NUL.
  (void)std::snprintf(out.data(), out.size(), Fmt, args...);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace text
