#include "platform/Text.h"

#include <charconv>
#include <climits>

#include "platform/Exception.h"

namespace text {

namespace {
bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}
char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
}  // namespace

std::string TrimLeft(std::string_view S) {
  size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  return std::string(S.substr(i));
}

std::string TrimRight(std::string_view S) {
  size_t n = S.size();
  while (n > 0 && IsBlank(S[n - 1])) --n;
  return std::string(S.substr(0, n));
}

std::string Trim(std::string_view S) {
  size_t i = 0;
  size_t n = S.size();
  while (i < n && IsBlank(S[i])) ++i;
  while (n > i && IsBlank(S[n - 1])) --n;
  return std::string(S.substr(i, n - i));
}

std::string UpperCase(std::string_view S) {
  std::string r(S);
  for (char& c : r) c = Upper(c);
  return r;
}

std::string LowerCase(std::string_view S) {
  std::string r(S);
  for (char& c : r) c = Lower(c);
  return r;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (Upper(A[i]) != Upper(B[i])) return false;
  return true;
}

bool StartsText(std::string_view Prefix, std::string_view S) {
  return S.size() >= Prefix.size() && SameText(Prefix, S.substr(0, Prefix.size()));
}

bool TryStrToInt64(std::string_view S, int64_t& Value) {
  // Leading and trailing blanks are not part of a number.
  if (S.empty()) return false;
  bool neg = false;
  size_t i = 0;
  if (S[i] == '-' || S[i] == '+') {
    neg = S[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < S.size() && S[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= S.size()) return false;
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(S.data() + i, S.data() + S.size(), v, base);
  if (ec != std::errc() || p != S.data() + S.size()) return false;
  if (!neg && v > static_cast<uint64_t>(INT64_MAX)) return false;
  if (neg && v > static_cast<uint64_t>(INT64_MAX) + 1) return false;
  Value = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool TryStrToInt(std::string_view S, int& Value) {
  int64_t v;
  if (!TryStrToInt64(S, v) || v < INT_MIN || v > INT_MAX) return false;
  Value = static_cast<int>(v);
  return true;
}

int StrToInt(std::string_view S) {
  int v;
  if (!TryStrToInt(S, v))
    throw EConvertError("'" + std::string(S) + "' is not a valid integer value");
  return v;
}

std::string IntToStr(int64_t Value) {
  return std::to_string(Value);
}

std::string Fetch(std::string& S, std::string_view Delimiter) {
  size_t p = S.find(Delimiter);
  if (p == std::string::npos) {
    std::string r;
    r.swap(S);
    return r;
  }
  std::string r = S.substr(0, p);
  S.erase(0, p + Delimiter.size());
  return r;
}

namespace {
// A UTF-8 sequence is a lead byte and at most three continuation bytes.
constexpr size_t kUtf8MaxContinuation = 3;
}  // namespace

std::string CutUtf8(std::string_view S, size_t MaxBytes) {
  if (S.size() <= MaxBytes) return std::string(S);
  size_t n = MaxBytes;
  // Only a sequence that the cut would split is dropped: the cut falls on a
  // continuation byte (10xxxxxx) and one of the three bytes before it leads a
  // sequence that reaches past the cut. Continuation bytes that follow no
  // lead byte (text that is not UTF-8) are kept, so such text is cut at
  // MaxBytes like any other and never shrinks to a blank or empty value.
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(S[i]); };
  if ((byte(n) & 0xC0) == 0x80) {
    for (size_t back = 1; back <= kUtf8MaxContinuation && back <= n; ++back) {
      const unsigned char c = byte(n - back);
      if ((c & 0xC0) == 0x80) continue;
      const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (length > back) n -= back;
      break;
    }
  }
  return std::string(S.substr(0, n));
}

}  // namespace text
