#include "tests/support/ScriptedUdpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

int BoundUdpSocket(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("ScriptedUdpServer: socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("ScriptedUdpServer: bind failed");
  }
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

ScriptedUdpServer::ScriptedUdpServer(Script script) : Script_(std::move(script)) {
  Fd_ = BoundUdpSocket(Port_);
  OtherFd_ = BoundUdpSocket(OtherPort_);
  int p[2];
  if (::pipe(p) != 0) throw std::runtime_error("ScriptedUdpServer: pipe failed");
  StopRead_ = p[0];
  StopWrite_ = p[1];
  Thread_ = std::thread([this] { Loop(); });
}

ScriptedUdpServer::~ScriptedUdpServer() {
  char c = 1;
  (void)!::write(StopWrite_, &c, 1);
  Thread_.join();
  for (int fd : {Fd_, OtherFd_, StopRead_, StopWrite_}) ::close(fd);
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
  if (::sendto(Fd_, Bytes.data(), Bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(Bytes.size()))
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
  pollfd stop{StopRead_, POLLIN, 0};
  return ::poll(&stop, 1, static_cast<int>(delay.count())) == 0;
}

void ScriptedUdpServer::Loop() {
  std::string buf(kMaxDatagram, '\0');
  for (;;) {
    pollfd fds[2] = {{Fd_, POLLIN, 0}, {StopRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        ::recvfrom(Fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    std::string query(buf.data(), static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Queries_.push_back(query);
      LastClient_.assign(reinterpret_cast<const char*>(&from), len);
    }
    Changed_.notify_all();
    for (const Reply& r : Script_(query)) {
      if (!Wait(r.Delay)) return;
      ::sendto(r.FromOtherPort ? OtherFd_ : Fd_, r.Bytes.data(), r.Bytes.size(), 0,
               reinterpret_cast<sockaddr*>(&from), len);
      std::lock_guard<std::mutex> lock(Mutex_);
      ++RepliesSent_;
    }
  }
}
