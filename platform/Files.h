#pragma once
// Files the program keeps beside its executable: where the executable is,
// whether a file exists, reading one whole, and replacing one safely.
//
// A path is a std::string: on Linux the file system's bytes; on Windows UTF-8,
// which the platform hands to the system's wide calls (platform/WidePath.h),
// so that a folder the ANSI code page cannot spell is found all the same.
// Every path these calls answer has the same form.
#include <string>
#include <string_view>

namespace files {

// The full path of the running executable ("/opt/corvale/Corvale").
std::string ExecutablePath();

// The directory part of Path with its final separator ("/opt/corvale/").
std::string ExtractFilePath(std::string_view Path);

bool FileExists(const std::string& Path);

// The whole content of a file. Raises EInOutError when it cannot be read.
std::string ReadFile(const std::string& Path);

// Who may read a file that ReplaceFile writes.
enum class TFileAccess {
  Shared,     // whoever the user's file-creation mask lets read it
  OwnerOnly,  // its owner alone (POSIX mode 0600; Windows: as Shared)
};

// Replaces the file at Path with Data: writes a temporary file beside it, made
// exclusively under a fresh name (Path + "." + random letters + ".tmp"; never
// through a file or link already there), flushes it to disk and renames it
// over Path, so that a failed write or a crash leaves the previous file
// intact. Temporary files of earlier runs are left as they are. The new file
// has the mode of the file it replaces (POSIX; OwnerOnly: always 0600; a first
// file: what the user's file-creation mask gives). Raises EInOutError ("File
// access denied", "Disk full", ...) when the file cannot be written; the
// temporary file is then removed.
void ReplaceFile(const std::string& Path, std::string_view Data,
                 TFileAccess Access = TFileAccess::Shared);

// The runtime's text for an I/O failure with this errno value.
std::string IoErrorText(int ErrorNumber);

}  // namespace files
