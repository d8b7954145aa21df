#include "tests/support/ScriptedTcpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace {

// Pending connections the kernel queues while a script runs.
constexpr int kBacklog = 16;
// Size of one recv(): scripts deal in protocol lines, not bulk data.
constexpr size_t kReadChunk = 4096;
// One poll() waits at most this long (ms) before re-checking its deadline; keeps
// an unbounded Hold deadline inside poll's int timeout.
constexpr long long kMaxPollSlice = 60000;

using Clock = std::chrono::steady_clock;

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c >= 0x7f) {
      static constexpr char kHexDigits[] = "0123456789abcdef";
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
    } else
      out += static_cast<char>(c);
  }
  return out;
}

}  // namespace

// ---- Script builder ----

ScriptedTcpServer::Script& ScriptedTcpServer::Script::Add(Step s) {
  Steps.push_back(std::move(s));
  return *this;
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::Send(std::string bytes) {
  return Add({Kind::Send, std::move(bytes), {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::SendFrom(
    std::function<std::string(const std::string&)> make) {
  return Add({Kind::SendFrom, {}, {}, 0, std::move(make)});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::Trickle(std::string bytes,
                                                              std::chrono::milliseconds perByte) {
  return Add({Kind::Trickle, std::move(bytes), perByte, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ReadLine() {
  return Add({Kind::ReadLine, {}, {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ExpectLine(std::string line) {
  return Add({Kind::ExpectLine, std::move(line), {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ReadUntil(std::string text) {
  return Add({Kind::ReadUntil, std::move(text), {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ReadBytes(size_t count) {
  return Add({Kind::ReadBytes, {}, {}, count, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ReadToEnd() {
  return Add({Kind::ReadToEnd, {}, {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::Pause(std::chrono::milliseconds delay) {
  return Add({Kind::Pause, {}, delay, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::ShutdownWrite() {
  return Add({Kind::ShutdownWrite, {}, {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::CloseNow() {
  return Add({Kind::CloseNow, {}, {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::Reset() {
  return Add({Kind::Reset, {}, {}, 0, {}});
}
ScriptedTcpServer::Script& ScriptedTcpServer::Script::Hold() {
  return Add({Kind::Hold, {}, {}, 0, {}});
}

// ---- One connection ----

// Runs one script on one accepted socket. Every wait polls the socket together
// with the server's stop pipe and has a deadline, so nothing here can block
// the destructor.
class ScriptedTcpServer::Connection {
 public:
  Connection(ScriptedTcpServer& server, size_t index, testnet::Handle fd)
      : Server_(server), Index_(index), Fd_(fd) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Run(const Script& script) {
    bool completed = true;
    for (const auto& step : script.Steps) {
      if (!RunStep(step)) {  // the step ended the connection
        completed = false;
        break;
      }
    }
    if (completed) {
      Note("script done");
      CloseAfter_ = true;
    }
    // The client can see the end (FIN, or the close) before anyone waiting
    // for this script is told; the drain comes after, as the client may hold
    // its end open for long.
    if (CloseAfter_)
      ::shutdown(Fd_.get(), testnet::kShutWrite);
    else
      Fd_.reset();
    Server_.ScriptEnded();
    if (CloseAfter_) Drain();
  }

 private:
  enum class Ready { Yes, Stop, Timeout };

  Ready WaitFor(short events, Clock::time_point deadline) {
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Ready::Timeout;
      pollfd p[2] = {{Fd_.get(), events, 0}, {Server_.StopRead_.get(), POLLIN, 0}};
      const int n = testnet::Poll(p, 2, static_cast<int>(std::min<long long>(left, kMaxPollSlice)));
      if (n < 0 && testnet::Interrupted(testnet::LastError())) continue;
      if (p[1].revents != 0) return Ready::Stop;
      if (n > 0) return Ready::Yes;
    }
  }

  // Sleeps, but wakes at once when the server stops. False when stopping.
  bool Sleep(std::chrono::milliseconds d) {
    pollfd p{Server_.StopRead_.get(), POLLIN, 0};
    const auto deadline = Clock::now() + d;
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return true;
      if (testnet::Poll(&p, 1, static_cast<int>(left)) > 0) return false;
    }
  }

  // Reads what is available into Pending_ (and the record). Returns false on
  // end of stream, error, stop or timeout, noting which.
  bool ReadMore(const char* during, Clock::time_point deadline) {
    switch (WaitFor(POLLIN, deadline)) {
      case Ready::Stop:
        Note(std::string("stopped during ") + during);
        return false;
      case Ready::Timeout:
        Note(std::string("timed out during ") + during);
        return false;
      case Ready::Yes:
        break;
    }
    char buf[kReadChunk];
    const auto n = ::recv(Fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
      Pending_.append(buf, static_cast<size_t>(n));
      Server_.AddReceived(Index_, buf, static_cast<size_t>(n));
      return true;
    }
    const int err = testnet::LastError();
    if (n < 0 && (testnet::InProgress(err) || testnet::Interrupted(err))) return true;
    Note((n == 0 ? std::string("client closed") : testnet::ErrorText(err)) + " during " + during);
    PeerClosed_ = true;
    return false;
  }

  // Takes bytes up to and including the first `delim` from the stream.
  bool TakeThrough(const std::string& delim, const char* during, std::string& out) {
    const auto deadline = Clock::now() + kStepTimeout;
    for (;;) {
      const auto at = Pending_.find(delim);
      if (at != std::string::npos) {
        out = Pending_.substr(0, at + delim.size());
        Pending_.erase(0, at + delim.size());
        return true;
      }
      if (!ReadMore(during, deadline)) return false;
    }
  }

  bool SendBytes(const std::string& bytes) {
    size_t done = 0;
    const auto deadline = Clock::now() + kStepTimeout;
    while (done < bytes.size()) {
      switch (WaitFor(POLLOUT, deadline)) {
        case Ready::Stop:
          Note("stopped during Send");
          return false;
        case Ready::Timeout:
          Note("timed out during Send (client not reading)");
          return false;
        case Ready::Yes:
          break;
      }
      const auto n = ::send(Fd_.get(), bytes.data() + done, static_cast<int>(bytes.size() - done),
                            testnet::kNoSignal);
      if (n < 0) {
        const int err = testnet::LastError();
        if (testnet::InProgress(err) || testnet::Interrupted(err)) continue;
        Note(testnet::ErrorText(err) + " during Send");
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // After our FIN, reads (and records) until the client closes, the drain
  // time is up or the server stops; the destructor then closes. Closing with
  // unread bytes in the receive queue would make the kernel send a reset.
  void Drain() {
    const auto deadline = Clock::now() + kDrainTimeout;
    while (!PeerClosed_ && ReadMore("closing", deadline)) Pending_.clear();
  }

  // Returns false when the connection is over (later steps skipped).
  bool RunStep(const Script::Step& s) {
    using K = Script::Kind;
    std::string got;
    switch (s.Kind_) {
      case K::Send:
        return SendBytes(s.Text);
      case K::SendFrom:
        return SendBytes(s.Make(Server_.Received(Index_)));
      case K::Trickle:
        for (char c : s.Text) {
          if (!SendBytes(std::string(1, c))) return false;
          if (!Sleep(s.Delay)) return false;
        }
        return true;
      case K::ReadLine:
        return TakeThrough("\n", "ReadLine", got);
      case K::ExpectLine: {
        if (!TakeThrough("\n", "ExpectLine", got)) {
          ADD_FAILURE() << "ScriptedTcpServer #" << Index_ << ": expected line \""
                        << Printable(s.Text) << "\", but the connection ended";
          return false;
        }
        std::string line = got.substr(0, got.size() - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line != s.Text) {
          ADD_FAILURE() << "ScriptedTcpServer #" << Index_ << ": expected line \""
                        << Printable(s.Text) << "\", got \"" << Printable(got) << "\"";
          Note("unexpected line: " + Printable(got));
          CloseAfter_ = true;
          return false;
        }
        return true;
      }
      case K::ReadUntil:
        return TakeThrough(s.Text, "ReadUntil", got);
      case K::ReadBytes: {
        const auto deadline = Clock::now() + kStepTimeout;
        while (Pending_.size() < s.Count)
          if (!ReadMore("ReadBytes", deadline)) return false;
        Pending_.erase(0, s.Count);
        return true;
      }
      case K::ReadToEnd: {
        const auto deadline = Clock::now() + kStepTimeout;
        while (ReadMore("ReadToEnd", deadline)) {
        }
        Pending_.clear();
        return PeerClosed_;
      }
      case K::Pause:
        if (Sleep(s.Delay)) return true;
        Note("stopped during Pause");
        return false;
      case K::ShutdownWrite:
        ::shutdown(Fd_.get(), testnet::kShutWrite);
        return true;
      case K::CloseNow:
        Note("CloseNow");
        CloseAfter_ = true;
        return false;
      case K::Reset: {
        Note("Reset");
        // Linger on, time 0: the close sends a reset instead of a FIN.
        linger l{};
        l.l_onoff = 1;
        l.l_linger = 0;
        ::setsockopt(Fd_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        return false;
      }
      case K::Hold:
        Note("Hold");
        // Only the stop pipe or the client ends a hold: no deadline.
        while (ReadMore("Hold", Clock::time_point::max())) Pending_.clear();
        return false;
    }
    return false;
  }

  void Note(const std::string& what) { Server_.Note(Index_, what); }

  ScriptedTcpServer& Server_;
  size_t Index_;
  testnet::Socket Fd_;
  std::string Pending_;  // received, not yet consumed by a read step
  bool PeerClosed_ = false;
  bool CloseAfter_ = false;  // end with FIN and a drain rather than a bare close
};

// ---- Server ----

ScriptedTcpServer::ScriptedTcpServer(Script everyConnection)
    : ScriptedTcpServer(std::vector<Script>{std::move(everyConnection)}, true, "127.0.0.1", 0) {}

ScriptedTcpServer::ScriptedTcpServer(std::vector<Script> perConnection)
    : ScriptedTcpServer(std::move(perConnection), false, "127.0.0.1", 0) {}

ScriptedTcpServer::ScriptedTcpServer(Script everyConnection, const std::string& address,
                                     uint16_t port)
    : ScriptedTcpServer(std::vector<Script>{std::move(everyConnection)}, true, address, port) {}

ScriptedTcpServer::ScriptedTcpServer(std::vector<Script> scripts, bool repeat,
                                     const std::string& address, uint16_t port)
    : Scripts_(std::move(scripts)), Repeat_(repeat), Address_(address) {
  if (!testnet::StreamPair(StopRead_, StopWrite_))
    throw std::runtime_error("ScriptedTcpServer: stop signal: " +
                             testnet::ErrorText(testnet::LastError()));
  Listen_ = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Address(address, port);
  // A fixed port may still hold connections of an earlier server in
  // TIME_WAIT (the previous run's, or the real server pinned there before);
  // without reuse the bind would be refused for a minute.
  const int reuse = 1;
  if (port != 0 && Listen_.valid())
    ::setsockopt(Listen_.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                 sizeof reuse);
  if (!Listen_.valid() || !testnet::SetNonBlocking(Listen_.get(), true) ||
      ::bind(Listen_.get(), testnet::Addr(a), sizeof a) != 0 ||
      ::listen(Listen_.get(), kBacklog) != 0 || (Port_ = testnet::LocalPort(Listen_.get())) == 0)
    throw std::runtime_error("ScriptedTcpServer: cannot listen: " +
                             testnet::ErrorText(testnet::LastError()));
  Acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedTcpServer::~ScriptedTcpServer() {
  const char stop = 1;
  while (::send(StopWrite_.get(), &stop, 1, testnet::kNoSignal) < 0 &&
         testnet::Interrupted(testnet::LastError())) {
  }
  Acceptor_.join();
  for (auto& w : Workers_) w.join();
  if (::testing::Test::HasFailure())
    std::cerr << "---- ScriptedTcpServer on port " << Port_ << " ----\n"
              << Log() << "---- end of ScriptedTcpServer log ----\n";
}

void ScriptedTcpServer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{Listen_.get(), POLLIN, 0}, {StopRead_.get(), POLLIN, 0}};
    if (testnet::Poll(p, 2, -1) < 0) {
      if (testnet::Interrupted(testnet::LastError())) continue;
      return;
    }
    if (p[1].revents != 0) return;
    testnet::Socket fd = testnet::Accept(Listen_.get());
    if (!fd.valid()) continue;  // the client gave up between poll and accept
    size_t index;
    {
      std::lock_guard lock(Mutex_);
      index = Received_.size();
      Received_.emplace_back();
    }
    Note(index, "accepted");
    Changed_.notify_all();
    Workers_.emplace_back([this, index, h = fd.release()] { Serve(index, h); });
  }
}

void ScriptedTcpServer::Serve(size_t index, testnet::Handle fd) {
  {
    Connection c(*this, index, fd);
    if (Repeat_)
      c.Run(Scripts_.front());
    else if (index < Scripts_.size())
      c.Run(Scripts_[index]);
    else
      c.Run(Script().CloseNow());
  }
  Note(index, "closed");
}

void ScriptedTcpServer::ScriptEnded() {
  {
    std::lock_guard lock(Mutex_);
    ++Finished_;
  }
  Changed_.notify_all();
}

void ScriptedTcpServer::Note(size_t index, const std::string& what) {
  std::lock_guard lock(Mutex_);
  Log_ += "#" + std::to_string(index) + " " + what + "\n";
}

void ScriptedTcpServer::AddReceived(size_t index, const char* data, size_t len) {
  {
    std::lock_guard lock(Mutex_);
    Received_[index].append(data, len);
  }
  Changed_.notify_all();
}

size_t ScriptedTcpServer::Connections() const {
  std::lock_guard lock(Mutex_);
  return Received_.size();
}

size_t ScriptedTcpServer::Finished() const {
  std::lock_guard lock(Mutex_);
  return Finished_;
}

std::string ScriptedTcpServer::Received(size_t n) const {
  std::lock_guard lock(Mutex_);
  return n < Received_.size() ? Received_[n] : std::string();
}

std::string ScriptedTcpServer::Log() const {
  std::lock_guard lock(Mutex_);
  return Log_;
}

bool ScriptedTcpServer::WaitForConnections(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Received_.size() >= count; });
}

bool ScriptedTcpServer::WaitForFinished(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Finished_ >= count; });
}
