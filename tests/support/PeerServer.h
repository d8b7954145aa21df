#pragma once
// Base of every real-server fixture in the peer tests. A PeerServer owns one
// server process for its whole life:
//   - a private directory (mkdtemp under /tmp, removed on destruction),
//   - free loopback ports (TCP, UDP or both, bound to 127.0.0.1:0 and released),
//   - the configuration the subclass writes into the directory,
//   - the process itself (fork/exec, own process group, stdout and stderr to
//     <dir>/server.log, killed by the kernel if the thread that started it
//     dies, so a crashed test leaves no server behind), waited for until it
//     answers,
//   - stopping it by pid (SIGTERM, then SIGKILL) and reaping it, also when a
//     test fails; the server's logs are printed to stderr when the current
//     GoogleTest test (or suite) has failed.
//
// A subclass supplies WriteConfig() and Command(), and may override
// IsReady() (the readiness probe) and BindFailed() (how a lost port race shows
// in the log). Start() retries on fresh ports when the server could not bind.
//
// Environment knobs for debugging: CORVALE_PEER_LOG=1 prints every server's log
// on stop; CORVALE_PEER_KEEP=1 keeps the private directories.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A server could not be prepared, started or made to answer. The message says
// which server and includes its log when there is one.
class PeerServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PeerServer {
 public:
  // Which loopback ports Start() reserves before writing the configuration.
  enum class Ports {
    None,       // the server needs no port chosen by the harness
    Tcp,        // Port()
    Udp,        // UdpPort()
    TcpAndUdp,  // Port() and UdpPort(), two independent numbers
    SameTcpUdp  // one number free for both TCP and UDP (DNS servers): Port() == UdpPort()
  };

  virtual ~PeerServer();
  PeerServer(const PeerServer&) = delete;
  PeerServer& operator=(const PeerServer&) = delete;

  // Picks the ports, writes the configuration, starts the process and waits
  // until IsReady(). When the server exits because its port was taken in the
  // meantime (BindFailed), starts again on new ports. Raises PeerServerError
  // (with the log) when the server exits or does not answer within the wait.
  void Start();
  // Stops the process: SIGTERM, up to kStopGrace to exit, then SIGKILL to its
  // process group; reaps it. Prints the log when the current test failed.
  // Does nothing when not running. Never raises.
  void Stop() noexcept;
  // Stops the server if it runs and starts it again on the same ports (a
  // server that goes away and comes back). Raises PeerServerError when it does
  // not come up, also when another process took the port meanwhile.
  void Restart();

  // Started and not yet stopped (it may have died since: see Alive()).
  bool Running() const { return Pid_ > 0; }
  // Whether the process still runs; reaps it when it has exited.
  bool Alive();
  // Process id of the running server (0 when stopped).
  pid_t Pid() const { return Pid_; }
  // Exit status (as from waitpid) of the last stopped or exited process; -1 if none.
  int LastStatus() const { return LastStatus_; }

  // Serves on address:port (a loopback address) instead of 127.0.0.1 and a
  // free port: for the end-to-end tests, whose program has fixed endpoints.
  // Call before Start(); a pinned server is not restarted on other ports.
  void Pin(std::string address, uint16_t port);
  // The loopback address the server listens on ("127.0.0.1" unless pinned).
  const std::string& Address() const { return Address_; }

  uint16_t Port() const { return TcpPort_; }
  uint16_t UdpPort() const { return UdpPort_; }
  // Address() + ":" + Port()
  std::string HostPort() const;
  const std::string& Dir() const { return Dir_; }
  // Dir() + "/" + relative
  std::string Path(const std::string& relative) const;
  const std::string& Name() const { return Name_; }

  // The server's stdout/stderr followed by every file registered with
  // AddLogFile(), each under a header line.
  std::string LogText() const;
  std::string LogPath() const { return Path("server.log"); }

  // Writes a file below Dir() (parent folders created). Raises PeerServerError.
  void WriteFile(const std::string& relative, const std::string& content) const;
  // Reads a file below Dir(); empty when it does not exist.
  std::string ReadFile(const std::string& relative) const;

  // Free loopback ports: bound on 127.0.0.1:0, read, closed.
  static uint16_t FreeTcpPort();
  static uint16_t FreeUdpPort();
  // A port number free for both TCP and UDP at this moment.
  static uint16_t FreeTcpUdpPort();
  // True when a TCP connection to 127.0.0.1:port is accepted within timeout.
  static bool TcpConnects(uint16_t port, std::chrono::milliseconds timeout);
  static bool TcpConnects(const std::string& address, uint16_t port,
                          std::chrono::milliseconds timeout);
  // Sends one datagram to 127.0.0.1:port and returns the first reply that
  // comes back within timeout (empty when none): a readiness probe for UDP
  // servers (a DNS query, say).
  static std::string UdpExchange(uint16_t port, const std::string& datagram,
                                 std::chrono::milliseconds timeout);

  // Bounded wait for a server to answer after it was started: generous for a
  // loaded 2-core machine, yet a broken server fails the test in seconds.
  static constexpr std::chrono::milliseconds kReadyTimeout{10000};
  // Time a server gets to exit on SIGTERM before it is killed.
  static constexpr std::chrono::milliseconds kStopGrace{3000};
  // Starts on fresh ports after a lost port race; more than this means
  // something else is wrong.
  static constexpr int kStartAttempts = 4;

 protected:
  // name: short server name used in the directory name and in messages.
  // Creates the private directory; raises PeerServerError when it cannot.
  PeerServer(std::string name, Ports ports);

  // Writes the configuration into Dir() for the ports just chosen. Called
  // before every start attempt.
  virtual void WriteConfig() = 0;
  // argv of the server; argv[0] is the absolute path of the executable.
  virtual std::vector<std::string> Command() const = 0;
  // Readiness probe, polled until it returns true. Default: a TCP connection to
  // Port() is accepted (servers without a TCP port must override it).
  virtual bool IsReady();
  // Whether a server that exited during start-up lost its port to another
  // process. Default: the log says "address already in use".
  virtual bool BindFailed(const std::string& log) const;
  // Extra "NAME=value" entries added to the inherited environment.
  virtual std::vector<std::string> Environment() const { return {}; }

  // Adds a file below Dir() to LogText() (server logs kept apart from stdout).
  void AddLogFile(const std::string& relative);

 private:
  void PickPorts();
  void Spawn();
  // Waits until ready; returns false when the process exited because of a lost
  // port race (it is reaped then); raises on any other failure.
  bool WaitUntilReady();
  // Reaps the process when it has exited; true if it had.
  bool ReapIfExited();
  void PrintLogIfFailed() const noexcept;
  // LogText() without the logs of earlier start attempts.
  std::string CurrentLogText() const;

  std::string Name_;
  Ports Ports_;
  std::string Dir_;
  std::vector<std::string> LogFiles_;
  std::string Address_ = "127.0.0.1";
  uint16_t PinnedPort_ = 0;
  uint16_t TcpPort_ = 0;
  uint16_t UdpPort_ = 0;
  pid_t Pid_ = 0;
  int LastStatus_ = -1;
};
