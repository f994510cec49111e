#include "transport/smtp_server.h"

#include <arpa/inet.h>

#include <cctype>

#include "gateway/activity_log.h"
#include "gateway/metrics.h"
#include "gateway/server_settings.h"
#include "transport/server_name.h"
#include "transport/smtp_transfer.h"
#include "transport/tokens.h"

namespace tarnhold {
namespace {

constexpr std::string_view kAddressDelimiters = "\t ,:";

constexpr std::string_view kSyntaxError = "501 Syntax Error In Parameters Or Arguments.\r\n";
constexpr std::string_view kBadSequence = "503 Bad Sequence Of Commands.\r\n";
constexpr std::string_view kNotImplemented = "502 Command not implemented\r\n";
constexpr std::string_view kReadyToStartTls = "220 Ready to start TLS\r\n";
constexpr std::string_view kTooManyRecipients = "452 Too many recipients\r\n";
constexpr std::string_view kStartMailInput = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr std::string_view kProcessingError =
    "451 Requested action aborted - error in processing\r\n";
constexpr std::string_view kTransactionFailed = "554 Transaction failed\r\n";
constexpr std::string_view kMailReceived = "250 Mail Received OK\r\n";
constexpr std::string_view kRelayDenied = "550 5.7.1 Relaying denied\r\n";
constexpr std::string_view kSizeExceeded =
    "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
constexpr std::string_view kUnknownParameters =
    "555 MAIL FROM/RCPT TO parameters not recognized or not implemented\r\n";

// Sample names shown by HELP: reserved example names only.
constexpr const char* kHelpText =
    "214- Velgrant SMTP Server \r\n"
    "214- ================================================ \r\n"
    "214- Commands Accepted: \r\n"
    "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n"
    "214-    NOOP   RSET  \r\n"
    "214- Normal Communication Sequence: \r\n"
    "214-    HELO client.example.com \r\n"
    "214-    MAIL From:<sender@example.com> \r\n"
    "214-    RCPT To:<recipient@example.org> \r\n"
    "214-    DATA \r\n"
    "214-          << send email message here>> \r\n"
    "214-\t\tQUIT \r\n"
    "214  ================================================ \r\n";

constexpr std::pair<std::string_view, SmtpCommand> kCommandNames[] = {
    {"HELO", SmtpCommand::Helo}, {"MAIL", SmtpCommand::Mail}, {"RCPT", SmtpCommand::Rcpt},
    {"DATA", SmtpCommand::Data}, {"HELP", SmtpCommand::Help}, {"QUIT", SmtpCommand::Quit},
    {"NOOP", SmtpCommand::Noop}, {"RSET", SmtpCommand::Rset}, {"EHLO", SmtpCommand::Ehlo},
    {"STAR", SmtpCommand::StartTls},
};

// A command line as the log shows it: control characters (a lone CR or LF inside the line
// included) become "?", so a client cannot forge log lines.
std::string Printable(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = '?';
  }
  return out;
}

std::string Dotted(std::uint32_t address) {
  in_addr in{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &in, text, sizeof text) ? text : "?";
}

}  // namespace

SmtpCommand RecogniseSmtpCommand(std::string_view line) {
  std::string head(line.substr(0, 4));
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const auto& [name, code] : kCommandNames) {
    if (head == name) return code;
  }
  return SmtpCommand::Unknown;
}

bool SmtpAddressToken(std::string_view line, std::string& address) {
  address.clear();
  const int count = CountTokens(line, kAddressDelimiters);
  std::string token;
  for (int i = 0; i < count; ++i) {
    if (GetToken(line, kAddressDelimiters, i, token, kSmtpTokenSize) != 0) continue;
    if (CountTokens(token, "@") <= 1) continue;
    // mailbox = "<" local-part "@" domain ">": the first such token is the address.
    return GetToken(token, "<>", 0, address, kSmtpAddressSize) == 0;
  }
  return false;
}

// ---- CSmtpServer ----

CServerConnection* CSmtpServer::CreateInstance() { return new CSmtpConnection; }

void CSmtpServer::ReleaseInstance(CServerConnection* connection) { delete connection; }

void CSmtpServer::SetServerNameSource(std::function<std::string()> source) {
  server_name_ = std::move(source);
}

std::string CSmtpServer::ServerName() const {
  return server_name_ ? server_name_() : SmtpServerName({});
}

void CSmtpServer::SetPolicy(std::shared_ptr<const ReceiverPolicy> policy) {
  std::scoped_lock lock(policy_mutex_);
  policy_ = std::move(policy);
}

std::shared_ptr<const ReceiverPolicy> CSmtpServer::Policy() const {
  std::scoped_lock lock(policy_mutex_);
  return policy_;
}

// ---- CSmtpConnection ----

struct CSmtpConnection::Handler {
  SmtpCommand code;
  void (CSmtpConnection::*act)(const std::string& line);
};

const CSmtpConnection::Handler CSmtpConnection::kHandlers[] = {
    {SmtpCommand::Helo, &CSmtpConnection::OnHelo}, {SmtpCommand::Mail, &CSmtpConnection::OnMail},
    {SmtpCommand::Rcpt, &CSmtpConnection::OnRcpt}, {SmtpCommand::Data, &CSmtpConnection::OnData},
    {SmtpCommand::Help, &CSmtpConnection::OnHelp}, {SmtpCommand::Quit, &CSmtpConnection::OnQuit},
    {SmtpCommand::Rset, &CSmtpConnection::OnRset}, {SmtpCommand::Noop, &CSmtpConnection::OnNoop},
    {SmtpCommand::Ehlo, &CSmtpConnection::OnEhlo},
    {SmtpCommand::StartTls, &CSmtpConnection::OnStartTls},
};

bool CSmtpConnection::Reply(std::string_view text) { return Send(text) >= 0; }

void CSmtpConnection::OnConnect() {
  auto* server = static_cast<CSmtpServer*>(Server());
  settings_ = server->Settings();
  server_name_ = server->ServerName();
  policy_ = server->Policy();
  tls_context_ = server->TlsServerContext();
  current_ = SmtpCommand::Unknown;
  CountEvent(Counter::SmtpInSessions);
  Reply("220 " + server_name_ + " Service Ready\r\n");
  while (!ended_) {
    last_read_ = ReceiveLine(line_, kSmtpLineBuffer);
    if (last_read_ < 1) break;
    // The command is text: it ends at a zero byte, as it would in a character buffer.
    std::string command = line_.substr(0, line_.find('\0'));
    StripLineEnd(command);
    SmtpInLogLine("NEW Command: " + Printable(command));
    previous_ = current_;
    current_ = RecogniseSmtpCommand(command);
    void (CSmtpConnection::*act)(const std::string&) = &CSmtpConnection::OnUnknown;
    for (const Handler& h : kHandlers) {
      if (h.code == current_) act = h.act;
    }
    (this->*act)(command);
  }
}

void CSmtpConnection::SendHelp() { Reply(kHelpText); }

std::uint32_t CSmtpConnection::ClientAddress() const {
  return ntohl(PeerAddress().sin_addr.s_addr);
}

// helo = "HELO" SP Domain CRLF
void CSmtpConnection::OnHelo(const std::string& line) {
  if (GetToken(line, " ", 1, client_name_, kSmtpAddressSize) != 0) client_name_.clear();
  extended_ = false;
  Reply("250 " + server_name_ + " " + client_name_ + "\r\n");
}

// ehlo = "EHLO" SP ( Domain / address-literal ) CRLF. Like RSET it ends any transaction, so
// the next message starts with MAIL.
void CSmtpConnection::OnEhlo(const std::string& line) {
  if (GetToken(line, " ", 1, client_name_, kSmtpAddressSize) != 0) client_name_.clear();
  extended_ = true;
  sender_.clear();
  recipients_.clear();
  slot_.Release();
  const bool offer = tls_context_ != nullptr && Tls() == nullptr;
  Reply(EhloReply(server_name_, SmtpExtensions(*policy_, offer ? TlsOffer::Yes : TlsOffer::No)));
}

// Mail-parameters count only after EHLO; a HELO client's line is read as it always was.
bool CSmtpConnection::MailParametersAccepted(std::string_view parameters) {
  if (!extended_) return true;
  MailParameters mail;
  switch (ParseMailParameters(parameters, mail)) {
    case ParameterResult::Unknown:
      Reply(kUnknownParameters);
      return false;
    case ParameterResult::BadValue:
      Reply(kSyntaxError);
      return false;
    case ParameterResult::Accepted:
      break;
  }
  if (policy_->max_message_bytes > 0 && mail.size > policy_->max_message_bytes) {
    SmtpInLogLine("Message refused: declared size " + std::to_string(mail.size) +
                  " exceeds the limit of " + std::to_string(policy_->max_message_bytes));
    Reply(kSizeExceeded);
    return false;
  }
  return true;
}

// mail = "MAIL FROM:" Reverse-path [SP Mail-parameters] CRLF; the null path "<>" is a sender.
void CSmtpConnection::OnMail(const std::string& line) {
  const PathAndParameters split = SplitPathAndParameters(line);
  const bool null_sender = IsNullPath(split.path);
  std::string address;
  if (!null_sender && !SmtpAddressToken(split.path, address)) {
    Reply(kSyntaxError);
    current_ = previous_;
    return;
  }
  if (!MailParametersAccepted(split.parameters)) {
    current_ = previous_;
    return;
  }
  sender_ = address;
  recipients_.clear();
  // A new message waits here while the sweeper is behind; the previous one is acknowledged.
  if (!slot_) {
    if (IntakeFlow* flow = static_cast<CSmtpServer*>(Server())->Flow()) slot_ = flow->Admit();
  }
  Reply("250 OK " + (null_sender ? std::string("<>") : sender_) + "\r\n");
}

// A recipient outside the local domains is relayed only for a client the guard trusts.
bool CSmtpConnection::RecipientAccepted(const std::string& address,
                                        std::string_view parameters) {
  if (extended_ && ParseRcptParameters(parameters) != ParameterResult::Accepted) {
    Reply(kUnknownParameters);
    return false;
  }
  if (policy_->relay.Judge(ClientAddress(), address) == RelayDecision::Denied) {
    SmtpInLogLine("Relaying denied: " + Printable(address) + " from " +
                  Dotted(ClientAddress()));
    CountEvent(Counter::RelayRefused);
    Reply(kRelayDenied);
    return false;
  }
  if (recipients_.size() >= kSmtpMaxRecipients) {
    Reply(kTooManyRecipients);
    return false;
  }
  return true;
}

// rcpt = "RCPT TO:" Forward-path [SP Rcpt-parameters] CRLF; only after MAIL or another RCPT.
void CSmtpConnection::OnRcpt(const std::string& line) {
  const PathAndParameters split = SplitPathAndParameters(line);
  std::string address;
  if (previous_ != SmtpCommand::Mail && previous_ != SmtpCommand::Rcpt) {
    Reply(kBadSequence);
  } else if (!SmtpAddressToken(split.path, address)) {
    Reply(kSyntaxError);
  } else if (RecipientAccepted(address, split.parameters)) {
    recipients_.push_back(address);
    Reply("250 OK  " + address + " \r\n");
    return;
  }
  current_ = previous_;
}

void CSmtpConnection::OnData(const std::string&) {
  if (previous_ != SmtpCommand::Rcpt || recipients_.empty()) {
    Reply(kBadSequence);
    return;
  }
  ReceiveMessage();
  slot_.Release();  // a message that was not stored gives its room back
}

void CSmtpConnection::OnHelp(const std::string&) { SendHelp(); }

void CSmtpConnection::OnQuit(const std::string&) {
  Reply("221 Goodbye\r\n");
  SmtpInLogLine("QUIT");
  ended_ = true;
}

void CSmtpConnection::OnRset(const std::string&) {
  recipients_.clear();
  slot_.Release();
  Reply("250 Ok\r\n");
}

void CSmtpConnection::OnNoop(const std::string&) {
  Reply("250 Requested mail action ok, completed\r\n");
}

// starttls = "STARTTLS" CRLF (RFC 3207). After the handshake the session starts afresh: the
// client's name, any transaction and the EHLO state are forgotten, and commands the client
// sent in clear text behind STARTTLS are dropped unread (StartTls), never run.
void CSmtpConnection::OnStartTls(const std::string& line) {
  std::string word = line;
  while (!word.empty() && word.back() == ' ') word.pop_back();
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (word != "STARTTLS") {
    Reply(word.rfind("STARTTLS ", 0) == 0 ? kSyntaxError : kNotImplemented);
  } else if (tls_context_ == nullptr) {
    Reply(kNotImplemented);
  } else if (Tls() != nullptr) {
    Reply(kBadSequence);
  } else if (Reply(kReadyToStartTls)) {
    if (StartTls(tls_context_) != TlsHandshake::Done) {
      SmtpInLogLine("TLS handshake failed with " + PeerDotted() + ": " + TlsError());
      ended_ = true;
      return;
    }
    SmtpInLogLine("TLS started: " + Tls()->Description());
    CountEvent(Counter::SmtpInTlsSessions);
    client_name_.clear();
    sender_.clear();
    recipients_.clear();
    extended_ = false;
    current_ = SmtpCommand::Unknown;
    return;
  }
  current_ = previous_;
}

void CSmtpConnection::OnUnknown(const std::string&) { Reply(kNotImplemented); }

// Reads and drops the client's data until it closes or falls silent for the read time-out,
// then refuses the message and ends the session.
void CSmtpConnection::RefuseData() {
  while (ReceiveLine(line_, kSmtpLineBuffer) >= 1) {
  }
  Reply(kProcessingError);
  SmtpInLogLine("SMTPDATA error");
  ended_ = true;
}

void CSmtpConnection::LogRecipientCount() {
  for (std::size_t i = kSmtpRecipientWarnCount; i < recipients_.size(); ++i) {
    SmtpInLogLine("Error: GetRcptListItemCount, too large");
  }
}

// Stores the DATA lines up to the final "." line. Broken: the client went away or fell silent
// first; the transfer is discarded and the client told so. TooLarge: the message passed the
// size limit; the rest was read and dropped, and nothing of it is kept.
CSmtpConnection::DataEnd CSmtpConnection::ReadMessageText(MailTransfer& transfer) {
  DataLineTracker tracker([this] { return "Message-ID: " + settings_->MakeMessageId() + "\r\n"; });
  const std::int64_t limit = policy_->max_message_bytes;
  std::int64_t received = 0;
  bool over = false;
  // Stored text goes to the transfer in blocks of kTransferWriteBytes or more, which it writes
  // as they are.
  std::string stored;
  for (;;) {
    std::string_view lines;
    last_read_ = ReceiveLines(lines, static_cast<int>(kSmtpLineBuffer) - 1);
    // A client silent for the whole receive time-out has gone, even in the middle of a line.
    if (last_read_ < 1 || LineTimedOut()) {
      transfer.Discard();
      Reply(kTransactionFailed);
      SmtpInLogLine("SMTPDATA error");
      return DataEnd::Broken;
    }
    const DataLineTracker::BlockResult block = tracker.AddBlock(lines, stored);
    // Whatever follows the final line stays with the reader for the next command.
    SkipReceived(block.used);
    // The final "." line is not part of the message's size.
    received += static_cast<std::int64_t>(block.used - (block.ended ? 3 : 0));
    if (!over && limit > 0 && received > limit) {
      over = true;
      transfer.Discard();  // the partial item goes at once
    }
    if (over) {
      stored.clear();
    } else if (block.ended || stored.size() >= kTransferWriteBytes) {
      transfer.Write(stored);
      stored.clear();
    }
    if (block.ended) return over ? DataEnd::TooLarge : DataEnd::Complete;
  }
}

void CSmtpConnection::ReceiveMessage() {
  Reply(kStartMailInput);
  if (settings_ == nullptr) return RefuseData();
  MailTransfer transfer(*settings_);
  if (!transfer.Begin(recipients_.front(), sender_)) return RefuseData();
  const DataEnd end = ReadMessageText(transfer);
  SmtpInLogLine("Data finished");
  if (end == DataEnd::Broken) return;
  if (end == DataEnd::TooLarge) {
    SmtpInLogLine("Message refused: larger than the limit of " +
                  std::to_string(policy_->max_message_bytes) + " bytes");
    Reply(kSizeExceeded);
    return;
  }

  LogRecipientCount();
  std::vector<std::string> further(recipients_.begin() + 1, recipients_.end());
  // The reply waits until every item and the source file are on disk.
  if (transfer.Commit(further, PeerDotted())) {
    slot_.Commit(static_cast<int>(1 + further.size()));
    Reply(kMailReceived);
    CountEvent(Counter::SmtpMessagesReceived);
    SmtpInLogLine("Mail received OK");
    static_cast<CSmtpServer*>(Server())->MessageQueued();
  } else {
    Reply(kProcessingError);
    SmtpInLogLine("SMTPDATA error");
  }
}

}  // namespace tarnhold
