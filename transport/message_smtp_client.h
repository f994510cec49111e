// The fuller SMTP client of the queue monitor: a message built with the message model (fields,
// body, attached files) sent to every To, Cc and Bcc recipient in a transaction of its own,
// with short time-outs (5 s to connect, 10 s for a reply) and result codes of its own. The
// dialogue steps, the reply reader and the dot doubling are the gateway client's; only the
// message and the codes differ. One object per thread.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "transport/smtp_dialogue.h"
#include "transport/smtp_reply.h"
#include "transport/ws_client.h"

namespace tarnhold {

class CMailMessage;

// Results of Connect.
inline constexpr int kMsgConnected = 0;
inline constexpr int kMsgConnectFailed = 19;  // no connection within the connect time-out
inline constexpr int kMsgHeloRefused = 53;    // no greeting, or HELO not answered with 2xx
inline constexpr int kMsgAborted = 91;        // the abort query or the progress hook said stop
inline constexpr int kMsgUnresolved = 93;     // the host cannot be resolved; also: a recipient
                                              // whose address cannot be taken
// Results of Send.
inline constexpr int kMsgSent = 0;
inline constexpr int kMsgFieldFailed = 1;  // a field could not be stored in the message
inline constexpr int kMsgNotConnected = 6;
inline constexpr int kMsgMailRefused = 12;  // MAIL refused, or the message not accepted
inline constexpr int kMsgShortSend = 22;    // the socket took fewer bytes than asked
inline constexpr int kMsgDataRefused = 51;  // DATA not answered with 354
inline constexpr int kMsgRcptRefused = 66;
inline constexpr int kMsgBodyFailed = 78;        // the body does not fit the message
inline constexpr int kMsgAttachmentFailed = 79;  // an attached file cannot be read or encoded
inline constexpr int kMsgMissingPart = 99;       // to, from, subject or body missing

class CMessageSmtpClient : public CUT_WSClient {
 public:
  CMessageSmtpClient() = default;
  ~CMessageSmtpClient() override;

  // Connects to `host` (a dotted address or a name) on the port set (25 unless set), reads
  // the greeting and says HELO `helo_name`.
  [[nodiscard]] int Connect(std::string_view host, std::string_view helo_name);
  // Sends "QUIT" (no reply is awaited) and closes; nothing when not connected.
  void Close();

  // Builds the message (To `to`, From `from`, Subject `subject`, the body, Cc and Bcc, each
  // of `attachments` as a file part) and sends it: every To, then every Cc, then every Bcc
  // recipient (lists split at CR, LF, tab and ",") in a transaction of its own. The first
  // refusal ends the send with its code.
  [[nodiscard]] int Send(std::string_view to, std::string_view from, std::string_view subject,
                         std::string_view body, std::string_view cc = {}, std::string_view bcc = {},
                         const std::vector<std::filesystem::path>& attachments = {});

  void SetPort(unsigned port) { port_ = port; }
  void SetConnectTimeout(std::chrono::seconds t) { connect_timeout_ = t; }
  void SetReplyTimeout(std::chrono::milliseconds t) { reply_timeout_ = t; }
  // Makes every wait end and the running send stop with 91; any thread may call it.
  void Abort() { aborted_ = true; }
  int IsAborted() override { return aborted_ ? 1 : 0; }
  // Called with the bytes of message data sent so far and their total; zero stops (91).
  virtual int SendProgress(long long bytes_sent, long long total);
  [[nodiscard]] const SmtpReply& LastReply() const { return last_reply_; }

 private:
  struct Message;
  [[nodiscard]] int Transaction(const Message& m, const std::string& recipient);
  [[nodiscard]] int SendData(const Message& m);
  [[nodiscard]] int SendBlock(std::string_view bytes, long long& sent, long long total);
  [[nodiscard]] bool Command(const std::string& line);
  const SmtpReply& ReadReply();

  unsigned port_ = 25;
  std::chrono::seconds connect_timeout_{5};
  std::chrono::milliseconds reply_timeout_{10000};
  std::atomic<bool> aborted_{false};
  SmtpReply last_reply_;
};

// The host and port of a server setting: "name" means port `default_port`, "name:port" the
// port given. False when the port is not a number from 1 to 65535.
[[nodiscard]] bool SplitHostPort(std::string_view text, unsigned default_port, std::string& host,
                                 unsigned& port);

}  // namespace tarnhold
