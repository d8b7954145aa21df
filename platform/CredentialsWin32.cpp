#include "platform/Credentials.h"

// clang-format off
#include <windows.h>
#include <wincred.h>
// clang-format on

#include <vector>

namespace credentials {

namespace {

// The credential's name: the program, then the account, so that the user
// finds it in the Credential Manager's list of generic credentials.
std::string TargetName(const std::string& Server, const std::string& User) {
  return "Corvale:" + User + "@" + Server;
}

std::string SystemText(DWORD Code) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, Code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : "error " + std::to_string(Code);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

// The outcome of a call that failed with the system's Code.
TOutcome Failure(DWORD Code, const std::string& Server, const std::string& User) {
  switch (Code) {
    case ERROR_NOT_FOUND:
      return {TStatus::NotFound, "No password is kept for " + User + " on " + Server};
    // A session without a logon (a service account, some restricted
    // sessions) has no credential set of its own.
    case ERROR_NO_SUCH_LOGON_SESSION:
      return {TStatus::Unavailable,
              "No credential store answers: the Windows Credential Manager has no store for this "
              "session (" +
                  SystemText(Code) + ")"};
    default:
      return {TStatus::Failed,
              "The Windows Credential Manager refused the request: " + SystemText(Code)};
  }
}

}  // namespace

const char* StoreName() {
  return "the Windows Credential Manager";
}

TOutcome StorePassword(const std::string& Server, const std::string& User,
                       const std::string& Password) {
  if (Password.size() > kMaxPasswordBytes)
    return {TStatus::Failed, "The password is longer than " + std::to_string(kMaxPasswordBytes) +
                                 " bytes, more than the credential store keeps"};
  std::string target = TargetName(Server, User);
  std::string user = User;
  std::vector<BYTE> blob(Password.begin(), Password.end());
  CREDENTIALA c{};
  c.Type = CRED_TYPE_GENERIC;
  c.TargetName = target.data();
  c.UserName = user.data();
  c.CredentialBlobSize = static_cast<DWORD>(blob.size());
  c.CredentialBlob = blob.empty() ? nullptr : blob.data();
  // Kept for this user on this machine, across logons (not roamed).
  c.Persist = CRED_PERSIST_LOCAL_MACHINE;
  const BOOL ok = CredWriteA(&c, 0);
  const DWORD code = ok ? 0 : GetLastError();
  SecureZeroMemory(blob.data(), blob.size());
  if (!ok) return Failure(code, Server, User);
  return {};
}

TOutcome ReadPassword(const std::string& Server, const std::string& User, std::string& Password) {
  Password.clear();
  PCREDENTIALA c = nullptr;
  if (!CredReadA(TargetName(Server, User).c_str(), CRED_TYPE_GENERIC, 0, &c))
    return Failure(GetLastError(), Server, User);
  if (c->CredentialBlob && c->CredentialBlobSize)
    Password.assign(reinterpret_cast<const char*>(c->CredentialBlob), c->CredentialBlobSize);
  CredFree(c);
  return {};
}

TOutcome DeletePassword(const std::string& Server, const std::string& User) {
  if (!CredDeleteA(TargetName(Server, User).c_str(), CRED_TYPE_GENERIC, 0))
    return Failure(GetLastError(), Server, User);
  return {};
}

}  // namespace credentials
