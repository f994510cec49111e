// CPop3Server and the dialogue of CPop3Connection: the line reader and the command table.
// The handlers are in pop3_commands.cpp.
#include "transport/pop3_server.h"

#include <array>
#include <cctype>

#include "gateway/metrics.h"
#include "gateway/server_settings.h"
#include "transport/tokens.h"

namespace tarnhold {
namespace {

constexpr std::string_view kGreeting = "+OK  POP3 server ready\r\n";
constexpr std::string_view kTooBusy = "-ERR  System Too Busy Please Try Later\r\n";

struct CommandWord {
  std::string_view word;
  Pop3Command code;
};

// Compared in this order; "TOP" counts only with the space after it.
constexpr std::array<CommandWord, 13> kCommandWords = {{
    {"USER", Pop3Command::User},
    {"PASS", Pop3Command::Pass},
    {"STAT", Pop3Command::Stat},
    {"LIST", Pop3Command::List},
    {"TOP ", Pop3Command::Top},
    {"RETR", Pop3Command::Retr},
    {"DELE", Pop3Command::Dele},
    {"NOOP", Pop3Command::Noop},
    {"RSET", Pop3Command::Rset},
    {"QUIT", Pop3Command::Quit},
    {"UIDL", Pop3Command::Uidl},
    {"CAPA", Pop3Command::Capa},
    {"STLS", Pop3Command::Stls},
}};

}  // namespace

Pop3Command RecognisePop3Command(std::string_view line) {
  if (line.size() < 4) return Pop3Command::Unknown;
  std::string head(line.substr(0, 4));
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const CommandWord& w : kCommandWords) {
    if (head == w.word) return w.code;
  }
  return Pop3Command::Unknown;
}

const CPop3Connection::CommandEntry CPop3Connection::kCommands[] = {
    {Pop3Command::User, &CPop3Connection::OnUser}, {Pop3Command::Pass, &CPop3Connection::OnPass},
    {Pop3Command::Stat, &CPop3Connection::OnStat}, {Pop3Command::List, &CPop3Connection::OnList},
    {Pop3Command::Retr, &CPop3Connection::OnRetr}, {Pop3Command::Dele, &CPop3Connection::OnDele},
    {Pop3Command::Noop, &CPop3Connection::OnNoop}, {Pop3Command::Rset, &CPop3Connection::OnRset},
    {Pop3Command::Quit, &CPop3Connection::OnQuit}, {Pop3Command::Top, &CPop3Connection::OnTop},
    {Pop3Command::Uidl, &CPop3Connection::OnUidl}, {Pop3Command::Capa, &CPop3Connection::OnCapa},
    {Pop3Command::Stls, &CPop3Connection::OnStls},
};

CPop3Connection::CPop3Connection(CServerSettings& settings, const CPop3Server& server)
    : settings_(settings), server_(server) {}

// The dialogue may have left by an exception; the mailbox must not stay in use.
CPop3Connection::~CPop3Connection() { CommitMailbox(); }

void CPop3Connection::OnConnect() {
  mailbox_ = -1;
  tls_context_ = server_.TlsServerContext();
  require_tls_ = server_.RequireTls();
  CountEvent(Counter::Pop3Sessions);
  if (Reply(kGreeting) == Next::End) return;
  while (ReadCommandLine()) {
    StripLineEnd(line_);
    if (Dispatch(line_) == Next::End) break;
  }
  if (server_.Stopping()) {
    ReleaseMailbox();
  } else {
    CommitMailbox();  // QUIT, or a client gone silent or away: the marks are carried out
  }
}

void CPop3Connection::OnMaxConnect() { (void)Reply(kTooBusy); }

bool CPop3Connection::ReadCommandLine() {
  last_read_ = ReceiveLine(line_, kPop3LineSize);
  if (last_read_ < 1) return false;
  if (LineComplete()) return true;
  // Longer than the buffer. Only the first piece is the command: the rest of the line is read
  // and dropped so that no part of it is taken for a command of its own. A line that is not
  // finished is never acted on.
  long discarded = 0;
  std::string rest;
  for (;;) {
    int n = ReceiveLine(rest, kPop3LineSize);
    if (n < 1) return false;
    discarded += n;
    if (LineComplete()) return true;
    if (discarded > kPop3MaxDiscardBytes) return false;
  }
}

CPop3Connection::Next CPop3Connection::Dispatch(std::string_view line) {
  Pop3Command code = RecognisePop3Command(line);
  for (const CommandEntry& entry : kCommands) {
    if (entry.code == code) return (this->*entry.handler)(line);
  }
  return OnUnknown(line);
}

CPop3Connection::Next CPop3Connection::Reply(std::string_view text) {
  if (send_failed_) return Next::End;
  if (Send(text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())) {
    send_failed_ = true;
    return Next::End;
  }
  return Next::Continue;
}

void CPop3Connection::CommitMailbox() {
  if (mailbox_ < 0) return;
  settings_.CloseMailbox(mailbox_);
  mailbox_ = -1;
}

void CPop3Connection::ReleaseMailbox() {
  if (mailbox_ < 0) return;
  settings_.UnmarkAll(mailbox_);
  CommitMailbox();
}

CPop3Server::CPop3Server(CServerSettings& settings) : settings_(settings) {
  SetSettings(&settings);
}

CPop3Server::~CPop3Server() { Shutdown(); }

void CPop3Server::Shutdown() {
  stopping_ = true;
  CListenServer::Shutdown();
}

CServerConnection* CPop3Server::CreateInstance() { return new CPop3Connection(settings_, *this); }

void CPop3Server::ReleaseInstance(CServerConnection* connection) { delete connection; }

}  // namespace tarnhold
