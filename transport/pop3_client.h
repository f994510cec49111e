// POP3 client of the collection: log in to a remote mailbox, count its messages, learn a
// message's size, save a message into a file with its dot-stuffing undone, delete it, quit.
// Every reply is one line read with a time-out; a reply is positive when it begins with "+".
// A transfer that stops half-way (time-out, bound, write failure) leaves the connection out
// of step with the server, so it is closed: the caller sees "not connected" afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "transport/ws_client.h"

namespace tarnhold {

// The port of a remote mailbox host given without ":port".
inline constexpr unsigned kPop3RemotePort = 110;
// A reply line holds at most 511 bytes with its line end; the rest of a longer one is dropped.
inline constexpr int kPop3ReplySize = 512;
inline constexpr long kPop3ReplyTimeoutS = 10;
// Bytes of message data read from the socket and written to the file at a time (at most).
inline constexpr int kPop3DataPieceSize = 8192;

// Results of Connect.
inline constexpr int kPop3Connected = 0;
inline constexpr int kPop3HostUnresolved = 1;  // the host (or its ":port") cannot be resolved
inline constexpr int kPop3NoConnection = 2;
inline constexpr int kPop3UserRefused = 3;  // USER refused or unanswered
inline constexpr int kPop3PassRefused = 4;  // PASS refused or unanswered

// Results of Count, ListSize, Retrieve and Delete (each uses the ones its comment names).
inline constexpr int kPop3Ok = 0;
inline constexpr int kPop3NotConnected = 1;
inline constexpr int kPop3NoReply = 2;        // Count, ListSize, Delete
inline constexpr int kPop3Negative = 3;       // Count, ListSize, Delete
inline constexpr int kPop3NoNumber = 4;       // Count, ListSize: no number in the reply
inline constexpr int kRetrFileFailed = 2;     // the file cannot be created or written
inline constexpr int kRetrNoReply = 3;
inline constexpr int kRetrNegative = 4;
inline constexpr int kRetrDataStopped = 5;    // a line read failed or timed out before "."
inline constexpr int kRetrStopped = 6;        // the progress hook said stop
inline constexpr int kRetrTooLarge = 7;       // more data than the bound allows

// Splits a configured host "name" or "name:port" (port 1..65535). False for a bad port.
[[nodiscard]] bool SplitPop3Host(std::string_view text, std::string& host, unsigned& port);

class CPop3Client : public CUT_WSClient {
 public:
  CPop3Client() = default;
  ~CPop3Client() override;

  using CUT_WSClient::Connect;
  // Quits and closes any previous connection, connects to `host` ("name" or "name:port"),
  // reads the greeting (its sign is ignored) and logs in with USER and PASS. A failure
  // leaves no connection. kPop3Connected or the kPop3* connect results above.
  [[nodiscard]] int Connect(std::string_view host, std::string_view account,
                            std::string_view password);
  // Sends "Quit" (no reply is read) and closes; nothing when not connected.
  void Close();
  [[nodiscard]] bool Connected() const { return GetSocket() >= 0; }

  // A command left unanswered closes the connection (a late answer would be taken for the
  // next one's).
  // STAT: the message count. kPop3Ok, NotConnected, NoReply, Negative or NoNumber.
  [[nodiscard]] int Count(std::uint32_t& count);
  // LIST n: the size the server gives for message `n`. The same results as Count.
  [[nodiscard]] int ListSize(std::uint32_t n, std::uint64_t& size);
  // RETR n into `path` (created or truncated), the dot-stuffing undone and the final "." line
  // left out. `max_bytes` > 0 bounds the saved bytes. kPop3Ok, kPop3NotConnected or kRetr*.
  // Every result but kPop3Ok, NotConnected, FileFailed before RETR and Negative closes the
  // connection; the file then holds whatever came, and the caller removes it.
  [[nodiscard]] int Retrieve(std::uint32_t n, const std::filesystem::path& path,
                             std::uint64_t max_bytes = 0);
  // DELE n. kPop3Ok, NotConnected, NoReply or Negative.
  [[nodiscard]] int Delete(std::uint32_t n);

  // Called with the bytes saved so far after each piece of message data; zero stops the
  // transfer (kRetrStopped). This version goes on unless the client is aborted.
  virtual int ReceiveProgress(std::uint64_t bytes_so_far);

  // A flag that, once set, stops the running wait or transfer (the collector's stop).
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  int IsAborted() override;

  // The longest wait for a reply line or a piece of message data.
  void SetReplyTimeout(long seconds) { reply_timeout_s_ = seconds; }
  // The longest wait for the connection to be made.
  void SetConnectTimeout(long seconds) { connect_timeout_s_ = seconds; }
  // The last reply line read, line end removed (for log lines).
  [[nodiscard]] const std::string& LastReply() const { return reply_; }

 private:
  // Sends `command` CR LF and reads one reply line into reply_. False when the send failed
  // or no reply came in time.
  [[nodiscard]] bool Command(std::string_view command);
  [[nodiscard]] bool ReadReply();
  [[nodiscard]] int ReceiveData(int fd, std::uint64_t max_bytes);
  void Drop();

  const std::atomic<bool>* stop_ = nullptr;
  std::string host_;
  std::string reply_;
  long reply_timeout_s_ = kPop3ReplyTimeoutS;
  long connect_timeout_s_ = 30;
};

}  // namespace tarnhold
