#include "tools/cardsim/Sockets.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qorx::cardsim {

namespace {

void SetTimeouts(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Without these a round trip waits for Nagle and the delayed ACK: ~48 ms instead of ~0.1 ms.
// The kernel drops quick-ACK mode on its own, so it is re-armed after every read.
void ArmQuickAck(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool MakeAddress(const std::string& path, sockaddr_un* addr, std::string* error) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    *error = "control socket path empty or too long: " + path;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int ConnectUnix(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr, error)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool ReaderLink::Connect(const std::string& host, uint16_t port, std::string* error) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    *error = host + ": " + gai_strerror(rc);
    return false;
  }
  *error = host + ":" + std::to_string(port) + ": no address";
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    SetTimeouts(fd, 2);  // bounds connect() too
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ArmQuickAck(fd);
      SetTimeouts(fd, 0);
      fd_ = fd;
      break;
    }
    *error = host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
  }
  freeaddrinfo(list);
  return fd_ >= 0;
}

bool ReaderLink::Receive(FrameDecoder& decoder) {
  uint8_t buffer[4096];
  ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (n <= 0) return false;
  ArmQuickAck(fd_);
  decoder.Feed(buffer, static_cast<size_t>(n));
  return true;
}

bool ReaderLink::Send(const Bytes& payload) {
  Bytes frame = EncodeFrame(payload);
  return WriteAll(fd_, frame.data(), frame.size());
}

void ReaderLink::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

ControlServer::~ControlServer() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(path_.c_str());
  }
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr, error)) return false;
  std::string ignored;
  int probe = ConnectUnix(path, &ignored);
  if (probe >= 0) {
    close(probe);
    *error = path + ": another simulator is listening there";
    return false;
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 8) != 0) {
    *error = path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  return true;
}

void ControlServer::ServeOne(const std::function<std::string(const std::string&)>& handler) {
  int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  SetTimeouts(client, 2);
  std::string line;
  char buffer[4096];
  bool complete = false;
  // A certificate option carries up to 64 KiB in hexadecimal. A client sends one line and
  // waits, so whatever arrives after the newline is not there to be lost.
  while (!complete && line.size() <= kMaxControlLine) {
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* end = static_cast<const char*>(memchr(buffer, '\n', static_cast<size_t>(n)));
    complete = end != nullptr;
    line.append(buffer, complete ? static_cast<size_t>(end - buffer) : static_cast<size_t>(n));
  }
  std::string reply = line.size() > kMaxControlLine ? "error command line too long" : handler(line);
  reply += "\n";
  WriteAll(client, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  close(client);
}

bool SendControl(const std::string& path, const std::string& command, std::string* reply) {
  int fd = ConnectUnix(path, reply);
  if (fd < 0) return false;
  SetTimeouts(fd, 5);
  std::string line = command + "\n";
  bool ok = WriteAll(fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
  reply->clear();
  char buffer[512];
  while (ok) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  while (!reply->empty() && (reply->back() == '\n' || reply->back() == '\r')) reply->pop_back();
  if (!ok || reply->empty()) {
    *reply = path + ": no answer";
    return false;
  }
  return true;
}

}  // namespace qorx::cardsim
