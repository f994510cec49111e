// The SMTP client with which the gateway hands mail it makes itself (replies, notices,
// rebuilt messages) to an SMTP receiver, normally its own on 127.0.0.1: a text, optionally
// followed by files, sent to every recipient in a transaction of its own on one connection.
// Text and files are streamed in fixed blocks and made transparent on the way (a leading dot
// doubled), so no content can end the data early. One object per thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "transport/smtp_dialogue.h"
#include "transport/smtp_reply.h"
#include "transport/ws_client.h"

namespace tarnhold {

class CUuFileList;

// Results of Connect.
inline constexpr int kSmtpConnected = 0;
inline constexpr int kSmtpHostUnresolved = 1;
inline constexpr int kSmtpConnectFailed = 2;
inline constexpr int kSmtpHeloRefused = 3;  // no greeting, or HELO not answered with 2xx

// Results of Send and SendWithFiles.
inline constexpr int kSmtpSent = 0;
inline constexpr int kSmtpNotConnected = 1;
inline constexpr int kSmtpBadRecipient = 2;  // no recipient at all, or one without an address
inline constexpr int kSmtpMailRefused = 3;   // MAIL refused, or the message not accepted
inline constexpr int kSmtpRcptRefused = 4;
inline constexpr int kSmtpDataRefused = 5;     // DATA not answered with 354
inline constexpr int kSmtpSendFailed = 6;      // the connection broke while sending the message
inline constexpr int kSmtpStopped = 7;         // the progress hook or the abort query said stop
inline constexpr int kSmtpFileUnreadable = 9;  // an attached or appended file cannot be read
inline constexpr int kSmtpNoTempFile = -40;    // SendWithFiles could not make its temporary file

inline constexpr unsigned kSmtpDefaultPort = 25;
inline constexpr std::chrono::milliseconds kSmtpReplyTimeout{20000};
// Bytes of message data handed to the socket at a time.
inline constexpr std::size_t kSmtpDataBlockBytes = 4096;

// The text of a message: `text`, then, when `appended_file` is not empty, CR LF and the
// file's content with its carriage returns dropped. Every line goes out ending in CR LF.
struct MessageText {
  // A plain text converts, so Send(..., "text") reads as it should.
  MessageText(std::string_view t = {}) : text(t) {}  // NOLINT(google-explicit-constructor)
  MessageText(const char* t) : text(t) {}            // NOLINT(google-explicit-constructor)
  MessageText(const std::string& t) : text(t) {}     // NOLINT(google-explicit-constructor)
  MessageText(std::string_view t, std::filesystem::path file)
      : text(t), appended_file(std::move(file)) {}

  std::string_view text;
  std::filesystem::path appended_file;
};

class CSmtpClient : public CUT_WSClient {
 public:
  CSmtpClient() = default;
  ~CSmtpClient() override;

  using CUT_WSClient::Connect;
  using CUT_WSClient::Send;
  // Closes any previous connection, connects to `host` (dotted address or name) on `port`,
  // reads the greeting and says HELO `helo_name`. A failed Connect leaves no connection.
  [[nodiscard]] int Connect(std::string_view host, std::string_view helo_name,
                            unsigned port = kSmtpDefaultPort);
  // Sends "Quit" (no reply is awaited) and closes; nothing when not connected.
  void Close();

  // Header lines added to every message after the generated ones (stored without a trailing
  // line end). A send does not clear them.
  void AddExtraHeader(std::string_view line);
  void ClearExtraHeaders() { extra_headers_.clear(); }

  // Sends `text` to each address of the comma-separated lists, each in a transaction of its
  // own: first `to` (To header: the recipient), then `cc` and `bcc` (To header: all of `to`;
  // cc addresses also get a "cc:" header line, bcc addresses none). `files` follow the text
  // unchanged but for dot doubling, each after an empty line. The first failure ends the
  // send with its code; recipients before it already have their copies.
  [[nodiscard]] int Send(std::string_view to, std::string_view from, std::string_view subject,
                         const MessageText& text, std::string_view cc = {},
                         std::string_view bcc = {},
                         const std::vector<std::filesystem::path>& files = {});
  // Send with the files of `files` uuencoded into one temporary file sent after the text;
  // with no files (or when they cannot be written) the text goes alone.
  [[nodiscard]] int SendWithFiles(std::string_view to, std::string_view from,
                                  std::string_view subject, std::string_view text,
                                  std::string_view cc, CUuFileList& files);

  // Called after each block of message data with the content bytes consumed so far and the
  // content's total; zero stops the send (kSmtpStopped).
  virtual int SendProgress(long long bytes_sent, long long total);

  // The longest wait for one reply (20 s unless set).
  void SetReplyTimeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }
  // Seconds for connecting; negative: a plain blocking connect (the default).
  void SetConnectTimeout(long seconds) { connect_timeout_s_ = seconds; }
  // The last reply read (for log lines).
  [[nodiscard]] const SmtpReply& LastReply() const { return last_reply_; }

 private:
  struct Outgoing;
  struct Copy;

  [[nodiscard]] int SendToList(std::string_view list, std::string_view to_header,
                               const Outgoing& message);
  [[nodiscard]] int RunTransaction(Copy& copy);
  // Sends what `step` needs: 0, or the result code that ends the transaction.
  [[nodiscard]] int Act(SmtpStep step, Copy* copy);
  [[nodiscard]] int SendMessageData(Copy& copy);
  [[nodiscard]] std::string BuildHeader(const Copy& copy) const;
  [[nodiscard]] bool Command(std::string_view line);
  SmtpReply& ReadReply();
  // Drops the connection without a word, so a half-sent message is never completed.
  void Abandon();

  std::vector<std::string> extra_headers_;
  std::string helo_name_;
  std::chrono::milliseconds reply_timeout_ = kSmtpReplyTimeout;
  long connect_timeout_s_ = -1;
  SmtpReply last_reply_;
};

// The address of a recipient text: what follows a "<" outside double quotes up to ">", else
// the text's first blank-separated word.
[[nodiscard]] std::string RecipientAddress(std::string_view text);

}  // namespace tarnhold
