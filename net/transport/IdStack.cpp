#include "net/transport/IdStack.h"

#include <map>

#include "net/transport/IdException.h"
#include "platform/Text.h"

std::unique_ptr<TIdStack> GlobalStack;

namespace {
// Texts of the error numbers the library knows (Winsock numbering).
const std::map<int, const char*>& ErrorTexts() {
  static const std::map<int, const char*> texts = {
      {10004, "Interrupted system call."},
      {10009, "Bad file number."},
      {10013, "Access denied."},
      {10014, "Bad address."},
      {10022, "Invalid argument."},
      {10024, "Too many open files."},
      {10035, "Operation would block. "},
      {10036, "Operation now in progress."},
      {10037, "Operation already in progress."},
      {10038, "Socket operation on non-socket."},
      {10039, "Destination address required."},
      {10040, "Message too long."},
      {10041, "Protocol wrong type for socket."},
      {10042, "Bad protocol option."},
      {10043, "Protocol not supported."},
      {10044, "Socket type not supported."},
      {10045, "Operation not supported on socket."},
      {10046, "Protocol family not supported."},
      {10047, "Address family not supported by protocol family."},
      {10048, "Address already in use."},
      {10049, "Cannot assign requested address."},
      {10050, "Network is down."},
      {10051, "Network is unreachable."},
      {10052, "Net dropped connection or reset."},
      {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."},
      {10055, "No buffer space available."},
      {10056, "Socket is already connected."},
      {10057, "Socket is not connected."},
      {10058, "Cannot send or receive after socket is closed."},
      {10059, "Too many references, cannot splice."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10062, "Too many levels of symbolic links."},
      {10063, "File name too long."},
      {10064, "Host is down."},
      {10065, "No route to host."},
      {10066, "Directory not empty"},
  };
  return texts;
}
}  // namespace

void TIdStack::FillLocalAddresses() {
  if (!LocalAddresses) LocalAddresses = std::make_unique<TStringList>();
  LocalAddresses->Clear();
  LocalAddresses->Add(SockHostByName(LocalHostName()));
}

std::string TIdStack::FirstLocalAddress() {
  const TStringList& l = LocalAddressList();
  return l.Count() > 0 ? l.Strings(0) : std::string();
}

const TStringList& TIdStack::LocalAddressList() {
  if (!LocalAddresses) LocalAddresses = std::make_unique<TStringList>();
  FillLocalAddresses();
  return *LocalAddresses;
}

uint16_t TIdStack::HostToNet16(uint16_t V) {
  return static_cast<uint16_t>(((V & 0xFF) << 8) | (V >> 8));
}
uint16_t TIdStack::NetToHost16(uint16_t V) {
  return HostToNet16(V);
}
uint32_t TIdStack::HostToNet32(uint32_t V) {
  return ((V & 0xFFu) << 24) | ((V & 0xFF00u) << 8) | ((V >> 8) & 0xFF00u) | (V >> 24);
}
uint32_t TIdStack::NetToHost32(uint32_t V) {
  return HostToNet32(V);
}

std::string TIdStack::SocketErrorMessage(int ErrorNumber) {
  auto it = ErrorTexts().find(ErrorNumber);
  const char* t = it == ErrorTexts().end() ? "" : it->second;
  return "Socket Error # " + std::to_string(ErrorNumber) + "\r\n" + t;
}

std::string TIdStack::InAddrToDotted(const uint8_t Addr[4]) {
  return std::to_string(Addr[0]) + "." + std::to_string(Addr[1]) + "." + std::to_string(Addr[2]) +
         "." + std::to_string(Addr[3]);
}

void TIdStack::DottedToInAddr(const std::string& Dotted, uint8_t Addr[4]) {
  std::string rest = Dotted;
  for (int i = 0; i < 4; ++i) {
    std::string piece = text::Fetch(rest, ".");
    // Only the low 8 bits are kept: there is no range check.
    Addr[i] = static_cast<uint8_t>(text::StrToInt(piece) & 0xFF);
  }
}

bool TIdStack::IsDottedQuad(const std::string& Text) {
  std::string rest = Text;
  for (int i = 0; i < 4; ++i) {
    std::string piece = i < 3 ? text::Fetch(rest, ".") : rest;
    int v;
    if (piece.empty() || !text::TryStrToInt(piece, v) || v < 0 || v > 255) return false;
  }
  return true;
}

TIdStackSocketHandle TIdStack::NewSocketHandle(int SocketType, int Protocol) {
  TIdStackSocketHandle s = SockSocket(Id_PF_INET, SocketType, Protocol);
  if (s == Id_INVALID_SOCKET) throw EIdInvalidSocket();
  return s;
}

bool TIdStack::CheckSocketResult(int Result, std::initializer_list<int> Tolerated) {
  if (Result != Id_SOCKET_ERROR) return false;
  int err = SockLastError();
  for (int t : Tolerated)
    if (t == err) return true;
  ThrowSocketError(err);
}

void TIdStack::ThrowSocketError(int ErrorNumber) {
  throw EIdSocketError(ErrorNumber, SocketErrorMessage(ErrorNumber));
}

std::string TIdStack::ResolveAddress(const std::string& Host) {
  if (text::SameText(Host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedQuad(Host)) return Host;
  return SockHostByName(Host);
}
