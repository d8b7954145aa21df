#pragma once
// The process's one socket stack. Every socket call, host-name lookup and
// socket-error text of the network library goes through GlobalStack, which
// lives while any network component (TIdComponent) lives.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/StringList.h"

using TIdStackSocketHandle = int;

// Socket constants in the library's numbering (IPv4 only).
constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_TCP_NODELAY = 1;
constexpr int Id_SOL_SOCKET = 65535;
constexpr int Id_SO_BROADCAST = 32;
constexpr int Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

// Time-outs are signed milliseconds with two special values.
constexpr int TimeoutDefault = -1;   // the component's own time-out
constexpr int TimeoutInfinite = -2;  // wait without limit

// Error numbers (Winsock numbering) that callers test for.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;

// Most sockets one SockSelect list may hold.
constexpr size_t IdMaxSelectSockets = 64;

class TIdStack {
 public:
  virtual ~TIdStack() = default;

  // Local addresses of the machine as dotted text.
  virtual void FillLocalAddresses();
  std::string FirstLocalAddress();
  const TStringList& LocalAddressList();

  // Thin primitives, one per socket call. They return the call's raw result
  // (-1 on failure, the error then in SockLastError) unless noted.
  virtual TIdStackSocketHandle SockAccept(TIdStackSocketHandle S, std::string& IP, int& Port) = 0;
  virtual int SockBind(TIdStackSocketHandle S, int Family, const std::string& IP, int Port) = 0;
  virtual int SockClose(TIdStackSocketHandle S) = 0;
  virtual int SockConnect(TIdStackSocketHandle S, int Family, const std::string& IP, int Port) = 0;
  // Like SockConnect, but gives up after TimeoutMs (TimeoutInfinite: no limit)
  // with the error 10060 in SockLastError.
  virtual int SockConnectWithin(TIdStackSocketHandle S, int Family, const std::string& IP, int Port,
                                int TimeoutMs) = 0;
  // First IPv4 address of the host as dotted text; raises EIdSocketError.
  virtual std::string SockHostByName(const std::string& HostName) = 0;
  virtual std::string LocalHostName() = 0;
  virtual std::string SockHostByAddr(const std::string& IP) = 0;
  // Port of a service name, or the name read as a number; raises
  // EIdInvalidServiceName.
  virtual int ServicePort(const std::string& Service) = 0;
  virtual std::unique_ptr<TStringList> PortServices(int Port) = 0;
  virtual int SockListen(TIdStackSocketHandle S, int BackLog) = 0;
  virtual int SockRecv(TIdStackSocketHandle S, void* Buf, int Len, int Flags) = 0;
  virtual int SockRecvFrom(TIdStackSocketHandle S, void* Buf, int Len, int Flags, std::string& IP,
                           int& Port) = 0;
  // Waits until a socket of the lists is ready. Each list holds at most 64
  // sockets (more raise EIdStackSetSizeExceeded) and is refilled with the ready
  // ones. Returns the number ready, 0 on time-out, -1 on failure.
  virtual int SockSelect(std::vector<TIdStackSocketHandle>* ReadList,
                         std::vector<TIdStackSocketHandle>* WriteList,
                         std::vector<TIdStackSocketHandle>* ExceptList, int TimeoutMs) = 0;
  virtual int SockSend(TIdStackSocketHandle S, const void* Buf, int Len, int Flags) = 0;
  // Sends what the socket takes at once, without blocking: returns the bytes
  // taken (0 when it takes nothing now), -1 on failure.
  virtual int SockSendNoWait(TIdStackSocketHandle S, const void* Buf, int Len) = 0;
  virtual int SockSendTo(TIdStackSocketHandle S, const void* Buf, int Len, int Flags,
                         const std::string& IP, int Port) = 0;
  // Asked before every wait for a socket (TIdSocketHandle::WaitReadable and
  // WaitWritable) and at least every AbandonCheckMs while one lasts; when it
  // answers true, the wait ends at once with socket error 10004. A program
  // sets it so that a long network wait gives way to a request to end. Unset
  // (the default), waits end only when their socket is ready or their time
  // is up.
  std::function<bool()> AbandonWaits;
  static constexpr int AbandonCheckMs = 200;

  // Level and option in the library's numbering (6/1 no-delay, 65535/32 broadcast).
  virtual int SockSetOption(TIdStackSocketHandle S, int Level, int OptName, const void* OptVal,
                            int OptLen) = 0;
  virtual TIdStackSocketHandle SockSocket(int Family, int Type, int Protocol) = 0;
  virtual int SockShutdown(TIdStackSocketHandle S, int How) = 0;
  virtual int SockLastError() = 0;
  // Endpoints of a socket; raise EIdSocketError on failure.
  virtual void SockPeerName(TIdStackSocketHandle S, std::string& IP, int& Port) = 0;
  virtual void SockLocalName(TIdStackSocketHandle S, std::string& IP, int& Port) = 0;

  static uint16_t HostToNet16(uint16_t V);
  static uint16_t NetToHost16(uint16_t V);
  static uint32_t HostToNet32(uint32_t V);
  static uint32_t NetToHost32(uint32_t V);

  // "Socket Error # %d", CR LF, and the text of the number (empty when unknown).
  static std::string SocketErrorMessage(int ErrorNumber);
  static std::string InAddrToDotted(const uint8_t Addr[4]);
  // Cuts the text at its dots and keeps the low 8 bits of each number; raises
  // EConvertError for a piece that is not a number.
  static void DottedToInAddr(const std::string& Dotted, uint8_t Addr[4]);
  static bool IsDottedQuad(const std::string& Text);

  // A new socket of family 2; raises EIdInvalidSocket.
  TIdStackSocketHandle NewSocketHandle(int SocketType, int Protocol);
  // False when Result is not -1; true when it is -1 and the last error is
  // tolerated; otherwise raises EIdSocketError with the last error.
  bool CheckSocketResult(int Result, std::initializer_list<int> Tolerated = {});
  [[noreturn]] static void ThrowSocketError(int ErrorNumber);
  // "localhost" (any case) is 127.0.0.1, a dotted quad is itself, anything else
  // is looked up.
  std::string ResolveAddress(const std::string& Host);

 private:
  std::unique_ptr<TStringList> LocalAddresses;
};

// The stack of this platform (defined by the stack implementation).
std::unique_ptr<TIdStack> CreatePlatformStack();

// The process's stack, empty while no network component exists.
extern std::unique_ptr<TIdStack> GlobalStack;
