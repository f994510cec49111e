// A scripted far side for protocol client tests: it listens on 127.0.0.1 (port 0), takes one
// connection and plays a script of lines, so a client test is a list of lines:
//   "S: text"  the peer sends text and CR LF
//   "R: text"  the peer sends text as it stands (no line end)
//   "C: text"  the peer reads one line and compares it, without its line end, with text; a
//              text that ends in "*" is compared only up to the star ("C: *" takes any line)
//   "CLOSE"    the peer closes the connection at once
//   "STALL"    the peer stays silent until the client closes (or the step time-out passes)
//   "EOF"      the peer expects the client to close; lines that still come are failures
// After the last line the peer closes. Every wait has the step time-out; nothing hangs.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_socket.h"

namespace tarnhold::test {

class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::string> script,
                        milliseconds step_timeout = milliseconds(5000));
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  [[nodiscard]] int Port() const { return listener_.Port(); }

  // Waits until the script has run (or failed) and returns what went wrong, one line each
  // ("step 3: got ..., want ..."); empty when the client did everything the script expects.
  [[nodiscard]] std::vector<std::string> Finish();
  // Everything the client sent, line ends included (complete after Finish).
  [[nodiscard]] std::string Received();
  // How long the connection lasted from accept to the peer's close (after Finish).
  [[nodiscard]] milliseconds Duration();

 private:
  void Run();
  void Fail(std::size_t step, std::string text);
  // Reads one line (without its line end) into `line`; false when none came in time.
  bool ReadLine(int fd, std::string& line);

  std::vector<std::string> script_;
  milliseconds step_timeout_;
  LoopbackListener listener_;
  std::mutex mutex_;
  std::vector<std::string> failures_;
  std::string received_;
  std::string pending_;
  milliseconds duration_{0};
  std::jthread thread_;
  bool finished_ = false;
};

// A port on 127.0.0.1 that nobody listens on (bound, then released).
[[nodiscard]] int UnusedLoopbackPort();

}  // namespace tarnhold::test
