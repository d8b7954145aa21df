#pragma once
// Paths on Windows. The program keeps a path as UTF-8 in a std::string, so
// that it can name any file whatever the ANSI code page (a user's folder may
// hold Polish, Greek or CJK letters, or an emoji, that the code page lacks);
// the platform layer hands it to the system's wide ("W") calls as UTF-16 and
// turns the system's UTF-16 answers back into UTF-8. Texts that are not paths
// (what the windows show, what is mailed) keep their own encoding. Windows
// builds only.
#include <string>
#include <string_view>

namespace files {

// The UTF-16 form of a UTF-8 path. A byte that begins no valid UTF-8 sequence
// becomes U+FFFD, which names no existing file.
std::wstring WidePath(std::string_view Path);

// The UTF-8 form of a UTF-16 path the system answered. A lone surrogate (a
// name no text can spell) becomes U+FFFD.
std::string Utf8Path(std::wstring_view Path);

}  // namespace files
