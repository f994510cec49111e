// What the kernel knows about sockets and open files, for tests that must wait on an event
// rather than sleep: whether a started server holds its listening socket itself (and not some
// other program on the same address), whether a process still has a file open, and whether
// the far end of a loopback connection has read what was sent to it. Read from /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace tarnhold::test {

enum class Protocol { Tcp, Udp };

// True when process `pid` holds a socket bound to `address`:`port` (for TCP: listening).
[[nodiscard]] bool ProcessHoldsSocket(pid_t pid, Protocol protocol, const std::string& address,
                                      int port);

// True when process `pid` has `path` open (a writer that has not closed it yet).
[[nodiscard]] bool ProcessHasOpen(pid_t pid, const std::filesystem::path& path);

// Waits until the far end of the loopback TCP connection `fd` has read every byte sent to it
// (true), or `timeout` passes (false).
[[nodiscard]] bool WaitUntilPeerHasRead(int fd, std::chrono::milliseconds timeout =
                                                    std::chrono::milliseconds(5000));

// Polls `condition` every few milliseconds until it holds (true) or `timeout` passes (false).
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition condition,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tarnhold::test
