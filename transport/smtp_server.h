// The SMTP receiver: HELO, EHLO, MAIL, RCPT, DATA, HELP, QUIT, NOOP and RSET on the listening
// server, each accepted message stored as one processing item per recipient with the sending
// host's address beside the first. Every command line and event goes to the SMTP receiver log.
// The owner sets the settings (SetSettings) before Start; the server name and the policy (size
// limit, relay guard) are taken once per session, so a configuration reload never changes a
// session halfway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/intake_flow.h"
#include "platform/wake_event.h"
#include "transport/listen_server.h"
#include "transport/smtp_extensions.h"

namespace tarnhold {

// Command codes, in the order they are recognised.
enum class SmtpCommand : int {
  Unknown = 0, Helo, Mail, Rcpt, Data, Help, Quit, Rset, Noop, Ehlo, StartTls
};

inline constexpr std::size_t kSmtpLineBuffer = 512;
// The nice value of the receiver's session threads (see CSmtpServer::SessionNice).
inline constexpr int kSmtpSessionNice = 10;
// Recipients counted past this log "Error: GetRcptListItemCount, too large" (and still go).
inline constexpr std::size_t kSmtpRecipientWarnCount = 32;
// Recipients one message may have; further RCPT commands are refused with 452, so that a
// client cannot make the receiver hold unbounded lists or open unbounded items.
inline constexpr std::size_t kSmtpMaxRecipients = 100;
// Address texts as the receiver keeps them (255 characters), and address tokens of a line.
inline constexpr std::size_t kSmtpAddressSize = 256;
inline constexpr std::size_t kSmtpTokenSize = 260;

// The code of a command line: its first four characters, upper-cased, compared in table order.
[[nodiscard]] SmtpCommand RecogniseSmtpCommand(std::string_view line);

// The address of a MAIL or RCPT line: the first token (split at "\t ,:") holding an "@" with
// characters on both sides, without its angle brackets. False when there is none (a null
// sender "<>" included).
[[nodiscard]] bool SmtpAddressToken(std::string_view line, std::string& address);

class MailTransfer;

class CSmtpServer : public CListenServer {
 public:
  CSmtpServer() = default;
  ~CSmtpServer() override { Shutdown(); }

  CServerConnection* CreateInstance() override;
  void ReleaseInstance(CServerConnection* connection) override;

  // The name used in the greeting and the HELO reply; asked at the start of every session.
  void SetServerNameSource(std::function<std::string()> source);
  [[nodiscard]] std::string ServerName() const;
  // The size limit and relay guard of the sessions that start from now on (the defaults until
  // one is set: loopback only may relay, kDefaultMaxMessageKb).
  void SetPolicy(std::shared_ptr<const ReceiverPolicy> policy);
  [[nodiscard]] std::shared_ptr<const ReceiverPolicy> Policy() const;
  // Notified after every message that was queued (the sweeper's wake-up).
  void SetQueueWake(WakeEvent* wake) { queue_wake_ = wake; }
  void MessageQueued() const {
    if (queue_wake_ != nullptr) queue_wake_->Notify();
  }
  // Receiving sessions run below the engine's other threads: when the processor is short, the
  // sweeper and the delivery finish what was accepted before more is taken in, so accepted mail
  // does not queue up behind new mail.
  [[nodiscard]] int SessionNice() const override { return kSmtpSessionNice; }
  // The pacing of new messages to the sweeper (nullptr: none).
  void SetIntakeFlow(IntakeFlow* flow) { intake_flow_ = flow; }
  [[nodiscard]] IntakeFlow* Flow() const { return intake_flow_; }

 private:
  std::function<std::string()> server_name_;
  WakeEvent* queue_wake_ = nullptr;
  IntakeFlow* intake_flow_ = nullptr;
  mutable std::mutex policy_mutex_;
  std::shared_ptr<const ReceiverPolicy> policy_ = std::make_shared<const ReceiverPolicy>();
};

class CSmtpConnection : public CServerConnection {
 public:
  void OnConnect() override;
  // Past the connection limit the connection is closed without a word.
  void OnMaxConnect() override {}
  virtual void SendHelp();

 protected:
  // The client's IPv4 address (host byte order) as the relay guard judges it.
  [[nodiscard]] virtual std::uint32_t ClientAddress() const;

 private:
  struct Handler;
  static const Handler kHandlers[];

  bool Reply(std::string_view text);
  void OnHelo(const std::string& line);
  void OnEhlo(const std::string& line);
  void OnMail(const std::string& line);
  void OnRcpt(const std::string& line);
  void OnData(const std::string& line);
  void OnHelp(const std::string& line);
  void OnQuit(const std::string& line);
  void OnRset(const std::string& line);
  void OnNoop(const std::string& line);
  void OnStartTls(const std::string& line);
  void OnUnknown(const std::string& line);
  [[nodiscard]] bool MailParametersAccepted(std::string_view parameters);
  [[nodiscard]] bool RecipientAccepted(const std::string& address, std::string_view parameters);
  enum class DataEnd { Complete, TooLarge, Broken };
  void ReceiveMessage();
  [[nodiscard]] DataEnd ReadMessageText(MailTransfer& transfer);
  void RefuseData();
  void LogRecipientCount();

  std::string line_;
  int last_read_ = 0;
  SmtpCommand previous_ = SmtpCommand::Unknown;
  SmtpCommand current_ = SmtpCommand::Unknown;
  CServerSettings* settings_ = nullptr;
  std::string sender_;
  std::string client_name_;
  std::vector<std::string> recipients_;
  std::string server_name_;
  std::shared_ptr<const ReceiverPolicy> policy_;
  std::shared_ptr<const TlsContext> tls_context_;  // taken at the greeting; nullptr: no TLS
  bool extended_ = false;  // the client greeted with EHLO: MAIL and RCPT parameters count
  bool ended_ = false;
  IntakeFlow::Slot slot_;  // the current transaction's room in the intake
};

}  // namespace tarnhold
