#include "transport/smtp_server.h"

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
constexpr std::string_view kTooManyRecipients = "452 Too many recipients\r\n";
constexpr std::string_view kStartMailInput = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr std::string_view kProcessingError =
    "451 Requested action aborted - error in processing\r\n";
constexpr std::string_view kTransactionFailed = "554 Transaction failed\r\n";
constexpr std::string_view kMailReceived = "250 Mail Received OK\r\n";

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
    {"NOOP", SmtpCommand::Noop}, {"RSET", SmtpCommand::Rset},
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
};

bool CSmtpConnection::Reply(std::string_view text) { return Send(text) >= 0; }

void CSmtpConnection::OnConnect() {
  auto* server = static_cast<CSmtpServer*>(Server());
  settings_ = server->Settings();
  server_name_ = server->ServerName();
  current_ = SmtpCommand::Unknown;
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

// helo = "HELO" SP Domain CRLF
void CSmtpConnection::OnHelo(const std::string& line) {
  if (GetToken(line, " ", 1, client_name_, kSmtpAddressSize) != 0) client_name_.clear();
  Reply("250 " + server_name_ + " " + client_name_ + "\r\n");
}

// mail = "MAIL FROM:" Reverse-path CRLF
void CSmtpConnection::OnMail(const std::string& line) {
  std::string address;
  if (!SmtpAddressToken(line, address)) {
    Reply(kSyntaxError);
    current_ = previous_;
    return;
  }
  sender_ = address;
  recipients_.clear();
  Reply("250 OK " + sender_ + "\r\n");
}

// rcpt = "RCPT TO:" Forward-path CRLF; only after MAIL or another RCPT.
void CSmtpConnection::OnRcpt(const std::string& line) {
  std::string address;
  if (previous_ != SmtpCommand::Mail && previous_ != SmtpCommand::Rcpt) {
    Reply(kBadSequence);
  } else if (!SmtpAddressToken(line, address)) {
    Reply(kSyntaxError);
  } else if (recipients_.size() >= kSmtpMaxRecipients) {
    Reply(kTooManyRecipients);
  } else {
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
}

void CSmtpConnection::OnHelp(const std::string&) { SendHelp(); }

void CSmtpConnection::OnQuit(const std::string&) {
  Reply("221 Goodbye\r\n");
  SmtpInLogLine("QUIT");
  ended_ = true;
}

void CSmtpConnection::OnRset(const std::string&) {
  recipients_.clear();
  Reply("250 Ok\r\n");
}

void CSmtpConnection::OnNoop(const std::string&) {
  Reply("250 Requested mail action ok, completed\r\n");
}

void CSmtpConnection::OnUnknown(const std::string&) { Reply("502 Command not implemented\r\n"); }

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

// Stores the DATA lines up to the final "." line. False when the client went away or fell
// silent first; the transfer is then discarded and the client told so.
bool CSmtpConnection::ReadMessageText(MailTransfer& transfer) {
  DataLineTracker tracker;
  for (;;) {
    last_read_ = ReceiveLine(line_, kSmtpLineBuffer);
    // A client silent for the whole receive time-out has gone, even in the middle of a line.
    if (last_read_ < 1 || LineTimedOut()) {
      transfer.Discard();
      Reply(kTransactionFailed);
      SmtpInLogLine("SMTPDATA error");
      return false;
    }
    DataLineTracker::Step step = tracker.Next(line_, LineComplete());
    if (step.insert_message_id) {
      transfer.Write("Message-ID: " + settings_->MakeMessageId() + "\r\n");
    }
    // Stored exactly as received: the final "." line and stuffed dots included.
    transfer.Write(line_);
    if (step.end_of_data) return true;
  }
}

void CSmtpConnection::ReceiveMessage() {
  Reply(kStartMailInput);
  if (settings_ == nullptr) return RefuseData();
  MailTransfer transfer(*settings_);
  if (!transfer.Begin(recipients_.front(), sender_)) return RefuseData();
  bool complete = ReadMessageText(transfer);
  SmtpInLogLine("Data finished");
  if (!complete) return;

  LogRecipientCount();
  std::vector<std::string> further(recipients_.begin() + 1, recipients_.end());
  // The reply waits until every item and the source file are on disk.
  if (transfer.Commit(further, PeerDotted())) {
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
