#include "tests/support/ScriptedUdpServer.h"

#ifdef __linux__
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <array>
#include <cstring>
#include <stdexcept>

namespace {

testnet::Socket BoundUdpSocket(uint16_t& port) {
  testnet::Socket s = testnet::Open(SOCK_DGRAM);
  if (!s.valid()) throw std::runtime_error("ScriptedUdpServer: socket failed");
  sockaddr_in a = testnet::Loopback(0);
  if (::bind(s.get(), testnet::Addr(a), sizeof a) != 0 || (port = testnet::LocalPort(s.get())) == 0)
    throw std::runtime_error("ScriptedUdpServer: bind failed");
  return s;
}

}  // namespace

ScriptedUdpServer::ScriptedUdpServer(Script script) : Script_(std::move(script)) {
  Fd_ = BoundUdpSocket(Port_);
  OtherFd_ = BoundUdpSocket(OtherPort_);
  if (!testnet::StreamPair(StopRead_, StopWrite_))
    throw std::runtime_error("ScriptedUdpServer: stop signal failed");
  Thread_ = std::thread([this] { Loop(); });
}

ScriptedUdpServer::~ScriptedUdpServer() {
  const char c = 1;
  ::send(StopWrite_.get(), &c, 1, testnet::kNoSignal);
  Thread_.join();
}

std::vector<std::string> ScriptedUdpServer::Queries() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Queries_;
}

bool ScriptedUdpServer::WaitForQueries(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Queries_.size() >= count; });
}

void ScriptedUdpServer::SendToLastClient(const std::string& Bytes) {
  sockaddr_in to{};
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (LastClient_.size() != sizeof to)
      throw std::logic_error("ScriptedUdpServer: no datagram received yet");
    std::memcpy(&to, LastClient_.data(), sizeof to);
  }
  // Datagram sockets may be written from two threads at once.
  if (::sendto(Fd_.get(), Bytes.data(), static_cast<int>(Bytes.size()), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to) != static_cast<int>(Bytes.size()))
    throw std::runtime_error("ScriptedUdpServer: sendto failed");
}

size_t ScriptedUdpServer::RepliesSent() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return RepliesSent_;
}

std::string ScriptedUdpServer::WithIdOf(const std::string& query, std::string reply) {
  for (size_t i = 0; i < 2 && i < query.size() && i < reply.size(); ++i) reply[i] = query[i];
  return reply;
}

bool ScriptedUdpServer::Wait(std::chrono::milliseconds delay) const {
  if (delay.count() <= 0) return true;
  pollfd stop{StopRead_.get(), POLLIN, 0};
  return testnet::Poll(&stop, 1, static_cast<int>(delay.count())) == 0;
}

void ScriptedUdpServer::SendReply(const Reply& r, const void* From, socklen_t Len) const {
  const auto floodEnd = std::chrono::steady_clock::now() + r.Flood;
  const int fd = (r.FromOtherPort ? OtherFd_ : Fd_).get();
#ifdef __linux__
  // Linux hands over a batch of datagrams in one call, which no reader that
  // takes them one at a time can keep up with.
  if (r.Flood.count() > 0) {
    std::array<iovec, kFloodBatch> data{};
    std::array<mmsghdr, kFloodBatch> batch{};
    for (size_t i = 0; i < kFloodBatch; ++i) {
      data[i] = {const_cast<char*>(r.Bytes.data()), r.Bytes.size()};
      batch[i].msg_hdr.msg_name = const_cast<void*>(From);
      batch[i].msg_hdr.msg_namelen = Len;
      batch[i].msg_hdr.msg_iov = &data[i];
      batch[i].msg_hdr.msg_iovlen = 1;
    }
    while (!Stopped() && std::chrono::steady_clock::now() < floodEnd)
      ::sendmmsg(fd, batch.data(), kFloodBatch, 0);
    return;
  }
#endif
  for (unsigned sent = 1;; ++sent) {
    ::sendto(fd, r.Bytes.data(), static_cast<int>(r.Bytes.size()), 0,
             static_cast<const sockaddr*>(From), Len);
    if (r.Flood.count() <= 0) return;
    // The stop pipe is looked at now and then, so that the destructor also
    // ends a flood at once.
    if (sent % kFloodStopCheck == 0 && (Stopped() || std::chrono::steady_clock::now() >= floodEnd))
      return;
  }
}

bool ScriptedUdpServer::Stopped() const {
  pollfd stop{StopRead_.get(), POLLIN, 0};
  return testnet::Poll(&stop, 1, 0) != 0;
}

void ScriptedUdpServer::Loop() {
  std::string buf(kMaxDatagram, '\0');
  for (;;) {
    pollfd fds[2] = {{Fd_.get(), POLLIN, 0}, {StopRead_.get(), POLLIN, 0}};
    if (testnet::Poll(fds, 2, -1) < 0) {
      if (testnet::Interrupted(testnet::LastError())) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const auto n = ::recvfrom(Fd_.get(), buf.data(), static_cast<int>(buf.size()), 0,
                              reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    std::string query = buf.substr(0, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Queries_.push_back(query);
      LastClient_.assign(reinterpret_cast<const char*>(&from), len);
    }
    Changed_.notify_all();
    for (const Reply& r : Script_(query)) {
      if (!Wait(r.Delay)) return;
      std::vector<std::thread> flooders;
      for (unsigned i = 1; i < r.FloodThreads; ++i)
        flooders.emplace_back([&] { SendReply(r, &from, len); });
      SendReply(r, &from, len);
      for (std::thread& t : flooders) t.join();
      if (Stopped()) return;
      std::lock_guard<std::mutex> lock(Mutex_);
      ++RepliesSent_;
    }
  }
}
