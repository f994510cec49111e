// A small SMTP server for delivery tests: it listens on a loopback address, serves any number
// of connections side by side, answers each command with a configurable reply and records
// every transaction with its message data exactly as it came (dot-stuffed, the final "."
// line excluded), plus every line that came after it. It also counts connections and how many
// were open at once. Every wait has a deadline; the destructor ends all connections.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace tarnhold::test {

using std::chrono::milliseconds;

struct SinkMessage {
  std::string helo;       // the HELO line's argument
  std::string mail_from;  // the MAIL line as it came
  std::string rcpt_to;    // the RCPT line as it came
  std::string data;       // the data as it came, without the final "." line
  std::vector<std::string> after;  // lines received after the final "." line
};

class RecordingSmtpSink {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string greeting = "220 sink ready";
    std::string helo_reply = "250 sink";
    std::string mail_reply = "250 2.1.0 Ok";
    std::string rcpt_reply = "250 2.1.5 Ok";
    std::string data_reply = "354 End data with <CR><LF>.<CR><LF>";
    std::string end_reply = "250 2.0.0 Ok: queued";
    milliseconds end_reply_delay{0};  // wait before answering the end of the data
    // Serve further transactions on a connection after a message (else the lines after it
    // are only recorded in `after`).
    bool several_messages = false;
  };

  RecordingSmtpSink();
  explicit RecordingSmtpSink(Options options);
  ~RecordingSmtpSink();
  RecordingSmtpSink(const RecordingSmtpSink&) = delete;
  RecordingSmtpSink& operator=(const RecordingSmtpSink&) = delete;

  // False when the address and port could not be bound (why in Error()).
  [[nodiscard]] bool Listening() const { return listener_.Valid(); }
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] int Port() const { return port_; }

  // Waits until `count` messages were answered with the end reply (or any reply to the end of
  // the data) and their connections closed; false when the time ran out.
  bool WaitForMessages(std::size_t count, milliseconds timeout = milliseconds(10000));
  // Waits until `count` connections have been accepted and closed again.
  bool WaitForClosedConnections(int count, milliseconds timeout = milliseconds(10000));
  [[nodiscard]] std::vector<SinkMessage> Messages() const;
  [[nodiscard]] int Connections() const;
  // Most connections that were at once between their accept and the reply to their data.
  [[nodiscard]] int MostAtOnce() const;

 private:
  void Accept();
  void Serve(UniqueFd fd);
  void EndTransaction();

  Options options_;
  UniqueFd listener_;
  int port_ = 0;
  std::string error_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SinkMessage> messages_;
  int connections_ = 0;
  int closed_ = 0;
  int open_ = 0;
  int most_at_once_ = 0;
  std::list<std::thread> servers_;
  std::thread acceptor_;
};

}  // namespace tarnhold::test
