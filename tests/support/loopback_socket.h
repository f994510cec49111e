// Plain sockets on the loopback interface for tests: a listener on 127.0.0.1 port 0, a client
// that may connect from another 127.x address (which servers count as a remote host), and
// reads with deadlines.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tarnhold::test {

using std::chrono::milliseconds;

class LoopbackListener {
 public:
  // Listens on 127.0.0.1 on a free port; `backlog` as for listen().
  explicit LoopbackListener(int backlog = 16);
  [[nodiscard]] int Port() const { return port_; }
  // The next connection, or an invalid descriptor when none came within `timeout`.
  [[nodiscard]] UniqueFd Accept(milliseconds timeout = milliseconds(5000));
  [[nodiscard]] int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
  int port_ = 0;
};

// Connects to 127.0.0.1:`port` from `from` (any port). Invalid on failure.
[[nodiscard]] UniqueFd ConnectLoopback(int port, const char* from = "127.0.0.1");

// Sends all of `data`; false on failure.
bool SendText(int fd, std::string_view data);

// Reads until `needle` has arrived (true) or the peer closed or `timeout` passed (false).
// Everything read is appended to `got`.
bool ReadUntil(int fd, std::string_view needle, std::string& got,
               milliseconds timeout = milliseconds(5000));

// Reads until the peer closes (true) or `timeout` passes (false); appends to `got`.
bool ReadToClose(int fd, std::string& got, milliseconds timeout = milliseconds(5000));

// True when the peer has closed (a read returns end of file) within `timeout`.
bool PeerClosed(int fd, milliseconds timeout);

}  // namespace tarnhold::test
