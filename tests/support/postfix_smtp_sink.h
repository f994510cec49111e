// Postfix's smtp-sink as the far side of a test: a real SMTP server that accepts (or, with its
// options, refuses) mail and dumps each transaction into a file of its own, with the dots of
// the data taken out again. It listens on an address of its own in 127.0.0.0/8, so no other
// test can take its port between the search for a free one and its start. Stopped by its pid.
// A dump is read only once the sink has closed it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold::test {

// The smtp-sink program, or "" when the package postfix is not installed.
[[nodiscard]] std::string FindPostfixSmtpSink();

class PostfixSmtpSink {
 public:
  // Starts `program` with `options` (such as {"-f", "RCPT", "-B", "550 5.1.1 User unknown"}),
  // dumping into `dump_folder` (made writable for the sink's unprivileged user; its parent,
  // normally a test's data root, is opened to that user for passing through). It listens on
  // `address` when one is given, else on an address of its own.
  PostfixSmtpSink(std::string program, std::filesystem::path dump_folder,
                  std::vector<std::string> options, std::string address = {});
  ~PostfixSmtpSink();
  PostfixSmtpSink(const PostfixSmtpSink&) = delete;
  PostfixSmtpSink& operator=(const PostfixSmtpSink&) = delete;

  [[nodiscard]] bool Ready() const { return ready_; }
  [[nodiscard]] const std::string& Address() const { return address_; }
  [[nodiscard]] int Port() const { return port_; }

  // The finished transactions (in name order) once `count` are finished, or fewer when `limit`
  // passed. A transaction still being written is not among them.
  [[nodiscard]] std::vector<std::string> WaitForDumps(
      std::size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const;

 private:
  bool Start();
  bool WaitUntilListening();
  [[nodiscard]] std::vector<std::filesystem::path> FinishedDumps() const;
  void Stop();

  std::string program_;
  std::filesystem::path dumps_;
  std::vector<std::string> options_;
  std::string address_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
};

}  // namespace tarnhold::test
