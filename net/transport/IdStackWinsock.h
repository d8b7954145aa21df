#pragma once
// The socket stack of the Windows build: the Winsock 1.1 library, loaded by
// its file name when the stack is created and released when it ends. Only the
// stack's own tests name this class; everything else reaches it as GlobalStack.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/transport/IdException.h"
#include "net/transport/IdStack.h"

// The library the stack loads.
inline constexpr const char* kWinsockLibrary = "wsock32.dll";
// The library version the stack asks for: 1.1 (minor in the high byte).
inline constexpr uint16_t kWinsockVersion = 0x0101;

// What a socket library reports about itself when it starts. Nothing in the
// program reads it; it is kept for diagnostics.
struct TIdStackVersion {
  virtual ~TIdStackVersion() = default;
  uint16_t MaxVersion = 0;  // the highest version the library supports
  uint16_t Version = 0;     // the version in use: the one asked for
  std::string Description;
  std::string SystemStatus;
  std::string Name;
};

// The start-up data of Winsock.
struct TIdStackVersionWinsock : TIdStackVersion {
  uint16_t MaxSockets = 0;  // sockets one process may open (0: no fixed limit)
  uint16_t MaxUdpDg = 0;    // largest datagram (0: no fixed limit)
};

// The library lacks a function the stack was asked to call. Raised by that
// call, never when the library is loaded: a library without a function nobody
// uses is a working library.
class EIdStackMissingEntryPoint : public EIdStackError {
 public:
  EIdStackMissingEntryPoint(const std::string& Library, const std::string& Function)
      : EIdStackError(Library + " has no function " + Function + ".") {}
};

class TIdStackWinsock : public TIdStack {
 public:
  // Loads LibraryName, looks up its functions and starts it asking for
  // version 1.1. Raises EIdStackCanNotLoadWinsock when the file cannot be
  // loaded, EIdStackInitializationFailed when the start-up fails.
  explicit TIdStackWinsock(const std::string& LibraryName = kWinsockLibrary);
  // Cancels any blocking call, cleans the library up and unloads it.
  ~TIdStackWinsock() override;
  TIdStackWinsock(const TIdStackWinsock&) = delete;
  TIdStackWinsock& operator=(const TIdStackWinsock&) = delete;

  const TIdStackVersionWinsock& Version() const { return *FVersion; }

  TIdStackSocketHandle SockAccept(TIdStackSocketHandle S, std::string& IP, int& Port) override;
  int SockBind(TIdStackSocketHandle S, int Family, const std::string& IP, int Port) override;
  int SockClose(TIdStackSocketHandle S) override;
  int SockConnect(TIdStackSocketHandle S, int Family, const std::string& IP, int Port) override;
  int SockConnectWithin(TIdStackSocketHandle S, int Family, const std::string& IP, int Port,
                        int TimeoutMs) override;
  std::string SockHostByName(const std::string& HostName) override;
  std::string LocalHostName() override;
  std::string SockHostByAddr(const std::string& IP) override;
  int ServicePort(const std::string& Service) override;
  std::unique_ptr<TStringList> PortServices(int Port) override;
  int SockListen(TIdStackSocketHandle S, int BackLog) override;
  int SockRecv(TIdStackSocketHandle S, void* Buf, int Len, int Flags) override;
  int SockRecvFrom(TIdStackSocketHandle S, void* Buf, int Len, int Flags, std::string& IP,
                   int& Port) override;
  int SockSelect(std::vector<TIdStackSocketHandle>* ReadList,
                 std::vector<TIdStackSocketHandle>* WriteList,
                 std::vector<TIdStackSocketHandle>* ExceptList, int TimeoutMs) override;
  int SockSend(TIdStackSocketHandle S, const void* Buf, int Len, int Flags) override;
  int SockSendNoWait(TIdStackSocketHandle S, const void* Buf, int Len) override;
  int SockSendTo(TIdStackSocketHandle S, const void* Buf, int Len, int Flags, const std::string& IP,
                 int Port) override;
  int SockSetOption(TIdStackSocketHandle S, int Level, int OptName, const void* OptVal,
                    int OptLen) override;
  TIdStackSocketHandle SockSocket(int Family, int Type, int Protocol) override;
  int SockShutdown(TIdStackSocketHandle S, int How) override;
  int SockLastError() override { return LastError; }
  void SockPeerName(TIdStackSocketHandle S, std::string& IP, int& Port) override;
  void SockLocalName(TIdStackSocketHandle S, std::string& IP, int& Port) override;

 private:
  struct TLibrary;
  // Records the library's error number of a failed call; passes the result on.
  int Call(int Result);
  // After a receive of zero bytes on S: the error of a reset that ended the
  // connection (WSAECONNRESET, WSAECONNABORTED), 0 for an orderly end.
  int ResetBehindEnd(TIdStackSocketHandle S);
  // Puts S in non-blocking (true) or blocking mode unless it is in it already;
  // false, with LastError set, when the library refuses.
  bool SetNonBlocking(TIdStackSocketHandle S, bool On);
  bool IsNonBlocking(TIdStackSocketHandle S);
  // Runs a call that may wait: on a socket left non-blocking, a call that
  // would block is made again after the socket is put back in blocking mode.
  template <typename F>
  int Waiting(TIdStackSocketHandle S, F Attempt);

  std::unique_ptr<TLibrary> Lib;
  // The sockets left in non-blocking mode. A bounded connect and a send that
  // must not wait need the mode; the calls that may wait need it off. Each
  // switch is a library call (under Wine a round trip to its server, which
  // wakes the program), so a socket keeps the mode of the last call that
  // needed one and is switched only when a call needs the other.
  std::mutex FModeLock;
  std::vector<TIdStackSocketHandle> FNonBlocking;
  std::unique_ptr<TIdStackVersionWinsock> FVersion;
  int LastError = 0;
};
