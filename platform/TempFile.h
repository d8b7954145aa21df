#pragma once
// Temporary files in the user's temporary folder.
#include <string>

namespace files {

// Creates a new, empty file with a unique name beginning with Prefix in the
// user's temporary folder ($TMPDIR, else /tmp) and answers its path. Raises
// EInOutError when it cannot be created.
std::string CreateTempFile(const std::string& Prefix);

// Removes a file; answers false (and raises nothing) when it cannot.
bool DeleteFile(const std::string& Path) noexcept;

}  // namespace files
