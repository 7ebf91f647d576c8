#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/cardsim/Frame.h"

namespace qorx::cardsim {

// The TCP connection to the reader driver (vpcd listens; the card connects). Being connected
// is being in the reader.
class ReaderLink {
 public:
  ReaderLink() = default;
  ReaderLink(const ReaderLink&) = delete;
  ReaderLink& operator=(const ReaderLink&) = delete;
  ~ReaderLink() { Close(); }

  bool Connect(const std::string& host, uint16_t port, std::string* error);
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // Reads what the socket holds into `decoder`; false once the reader side has gone.
  bool Receive(FrameDecoder& decoder);
  // One framed message in a single write; false when the reader side has gone.
  bool Send(const Bytes& payload);
  void Close();

 private:
  int fd_ = -1;
};

// Longest control command: room for a 64 KiB certificate in hexadecimal.
constexpr size_t kMaxControlLine = 140 * 1024;

// A Unix stream socket taking one-line commands and answering each with one line.
class ControlServer {
 public:
  ControlServer() = default;
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;
  ~ControlServer();

  // Refuses a path where another simulator still listens; replaces a stale socket file.
  bool Listen(const std::string& path, std::string* error);
  int Fd() const { return fd_; }
  // Accepts one client, reads its line, writes handler(line) and a newline, closes.
  void ServeOne(const std::function<std::string(const std::string&)>& handler);

 private:
  int fd_ = -1;
  std::string path_;
};

// Client side: sends `command` to the socket at `path`; the reply line, or false with a
// message in `reply` when no simulator answered.
bool SendControl(const std::string& path, const std::string& command, std::string* reply);

}  // namespace qorx::cardsim
