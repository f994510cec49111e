// The command handlers of CPop3Connection. Each checks that the command may run now and that
// its arguments are sound, replies on refusal, then acts. Before a login the message count is
// -1, so every message number is invalid and no handler touches a mailbox.
#include <string>

#include "gateway/activity_log.h"
#include "gateway/metrics.h"
#include "gateway/server_settings.h"
#include "transport/pop3_server.h"
#include "transport/tokens.h"

namespace tarnhold {
namespace {

constexpr std::string_view kOk = "+OK\r\n";
constexpr std::string_view kErr = "-ERR\r\n";
constexpr std::string_view kInvalidNumber = "-ERR  Invalid Message Number\r\n";
constexpr std::string_view kUnknownCommand = "-ERR Unknown Command\r\n";
constexpr std::string_view kTopFollows = "+OK Top of Message Follows\r\n";
constexpr std::string_view kNoMessages = "-ERR no messages\r\n";
constexpr std::string_view kUidListing = "+OK unique-id listing follows\r\n";
constexpr std::string_view kNoMessageId = "no message id";
constexpr std::string_view kEndOfListing = ".\r\n";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kCapabilities = "+OK Capability list follows\r\nTOP\r\nUIDL\r\n";
constexpr std::string_view kBeginTls = "+OK Begin TLS negotiation\r\n";
constexpr std::string_view kNoTls = "-ERR STLS not available\r\n";
constexpr std::string_view kTlsRequired = "-ERR STLS first: no login in clear text\r\n";
// Ends a message whose stored text does not end with its own "." line.
constexpr std::string_view kAddedTerminator = "\r\n\r\n.\r\n";
constexpr std::string_view kStoredTerminator = "\r\n.\r\n";
constexpr std::size_t kRetrPieceSize = 16 * 1024;

std::string Num(long long n) { return std::to_string(n); }

// Keeps the last bytes sent of a message, to see whether it ended with its terminator line.
class TailKeeper {
 public:
  void Add(std::string_view bytes) {
    tail_ += bytes.substr(bytes.size() > kKeep ? bytes.size() - kKeep : 0);
    if (tail_.size() > kKeep) tail_.erase(0, tail_.size() - kKeep);
  }
  [[nodiscard]] bool EndsWith(std::string_view end) const { return tail_.ends_with(end); }

 private:
  static constexpr std::size_t kKeep = kStoredTerminator.size();
  std::string tail_;
};

// Reads an open message line by line for TOP. A line longer than the read buffer comes in
// pieces, which are sent joined, so a piece is never mistaken for a line of its own.
class MessageLines {
 public:
  enum class Kind { Line, EmptyLine, Terminator, End };

  MessageLines(CServerSettings& settings, SpoolItem& message)
      : settings_(settings), message_(message) {}

  // The next line or piece. EmptyLine and Terminator (the stored "." line that ends the
  // message) are whole lines only. End: the end of the file or a read error.
  Kind Next() {
    bool complete = false;
    bool at_start = at_line_start_;
    int n = settings_.ReadLine(message_, buffer_, sizeof buffer_, &complete);
    if (n < 0 || (n == 0 && !complete)) return Kind::End;
    length_ = static_cast<std::size_t>(n);
    at_line_start_ = complete;
    if (!at_start || !complete) return Kind::Line;
    if (n == 0) return Kind::EmptyLine;
    if (n == 1 && buffer_[0] == '.') return Kind::Terminator;
    return Kind::Line;
  }
  // What to send for the last line or piece: the text, and CR LF when the line ended there.
  void AppendTo(std::string& out) const {
    out.append(buffer_, length_);
    if (at_line_start_) out += kCrLf;
  }
  // False while the last piece sent did not end its line.
  [[nodiscard]] bool AtLineStart() const { return at_line_start_; }

 private:
  CServerSettings& settings_;
  SpoolItem& message_;
  char buffer_[kPop3LineSize] = {};
  std::size_t length_ = 0;
  bool at_line_start_ = true;
};

}  // namespace

// USER name: the name is kept for PASS; any name is accepted here.
CPop3Connection::Next CPop3Connection::OnUser(std::string_view line) {
  if (!ClearTextLoginAllowed()) return Reply(kTlsRequired);
  (void)GetToken(line, " ", 1, account_, kPop3NameSize);
  return Reply(kOk);
}

// PASS word: logs in to the mailbox of the USER name. A second PASS after a login is refused:
// it would leave the first mailbox held until the gateway restarts.
CPop3Connection::Next CPop3Connection::OnPass(std::string_view line) {
  if (!ClearTextLoginAllowed()) return Reply(kTlsRequired);
  (void)GetToken(line, " ", 1, password_, kPop3NameSize);
  if (mailbox_ >= 0) return Reply(kErr);
  int index = settings_.OpenMailbox(account_, password_);
  if (index < 0) return Reply(kErr);
  mailbox_ = index;
  return Reply(kOk);
}

CPop3Connection::Next CPop3Connection::OnStat(std::string_view) {
  return Reply("+OK " + Num(settings_.MessageCount(mailbox_)) + " " + Num(TotalSize()) + "\r\n");
}

CPop3Connection::Next CPop3Connection::OnList(std::string_view line) {
  if (CountTokens(line, " ") < 2) return ListAll();
  int position = MessagePosition(line);
  if (position < 0) return Reply(kInvalidNumber);
  return Reply("+OK " + Num(position + 1) + " " + Num(settings_.MessageSize(mailbox_, position)) +
               "\r\n");
}

CPop3Connection::Next CPop3Connection::ListAll() {
  int count = settings_.MessageCount(mailbox_);
  std::string text = "+OK " + Num(count) + " messages (" + Num(TotalSize()) + " octets)\r\n";
  for (int k = 0; k < count; ++k) {
    text += Num(k + 1) + " " + Num(settings_.MessageSize(mailbox_, k)) + "\r\n";
  }
  text += kEndOfListing;
  return Reply(text);
}

// RETR n: the message as stored, no dot-stuffing (it was stored stuffed). A stored message
// ends with its own "." line; one that does not gets a terminator added, so the client always
// finds the end of the reply, whatever the file holds.
CPop3Connection::Next CPop3Connection::OnRetr(std::string_view line) {
  int position = MessagePosition(line);
  if (position < 0) return Reply(kInvalidNumber);
  SpoolItem message = settings_.OpenMessage(mailbox_, position);
  if (!message.IsOpen()) return Reply(kInvalidNumber);
  Next next = Reply("+OK " + Num(settings_.MessageSize(mailbox_, position)) + " octets\r\n");
  std::string piece(kRetrPieceSize, '\0');
  TailKeeper tail;
  while (next == Next::Continue) {
    std::size_t n = settings_.ReadBlock(message, piece.data(), piece.size());
    if (n == 0) break;
    std::string_view bytes(piece.data(), n);
    tail.Add(bytes);
    next = Reply(bytes);
  }
  if (next == Next::Continue && !tail.EndsWith(kStoredTerminator)) next = Reply(kAddedTerminator);
  settings_.CloseItem(message);
  return next;
}

CPop3Connection::Next CPop3Connection::OnDele(std::string_view line) {
  int position = MessagePosition(line);
  if (position < 0) return Reply(kInvalidNumber);
  (void)settings_.MarkDeleted(mailbox_, position);
  return Reply(kOk);
}

CPop3Connection::Next CPop3Connection::OnNoop(std::string_view) { return Reply(kOk); }

CPop3Connection::Next CPop3Connection::OnRset(std::string_view) {
  if (mailbox_ >= 0) settings_.UnmarkAll(mailbox_);
  return Reply(kOk);
}

// QUIT: the marks are carried out before the reply, so a client that logs in again at once
// finds its mailbox free.
CPop3Connection::Next CPop3Connection::OnQuit(std::string_view) {
  CommitMailbox();
  (void)Reply(kOk);
  return Next::End;
}

CPop3Connection::Next CPop3Connection::OnUnknown(std::string_view) {
  return Reply(kUnknownCommand);
}

// TOP n m: the header, an empty line and the first m lines of the body (m from token 2,
// default 1). Empty body lines count as lines. The stored "." line ends the reply where it
// comes; otherwise ".\r\n" does.
CPop3Connection::Next CPop3Connection::OnTop(std::string_view line) {
  int position = MessagePosition(line);
  if (position < 0) return Reply(kInvalidNumber);
  long body_lines = 1;
  if (GetTokenNumber(line, " ", 2, body_lines) != 0) body_lines = 1;
  SpoolItem message = settings_.OpenMessage(mailbox_, position);
  if (!message.IsOpen()) return Reply(kInvalidNumber);
  Next next = Reply(kTopFollows);
  MessageLines lines(settings_, message);
  std::string out;
  auto flush = [&](std::size_t above) {
    if (out.size() > above && next == Next::Continue) next = Reply(out);
    if (out.size() > above) out.clear();
  };
  using Kind = MessageLines::Kind;
  Kind kind = Kind::Line;
  while (next == Next::Continue) {  // the header, up to its empty line
    kind = lines.Next();
    if (kind != Kind::Line) break;
    lines.AppendTo(out);
    flush(kRetrPieceSize);
  }
  if (kind != Kind::Terminator) {
    if (!lines.AtLineStart()) out += kCrLf;
    out += kCrLf;
    for (long sent = 0; sent < body_lines && next == Next::Continue;) {
      kind = lines.Next();
      if (kind == Kind::End || kind == Kind::Terminator) break;
      lines.AppendTo(out);
      if (lines.AtLineStart()) ++sent;
      flush(kRetrPieceSize);
    }
    if (!lines.AtLineStart()) out += kCrLf;
  }
  out += kEndOfListing;
  flush(0);
  settings_.CloseItem(message);
  return next;
}

// UIDL n: the message's identifier (its Message-Id value). UIDL: every message's.
CPop3Connection::Next CPop3Connection::OnUidl(std::string_view line) {
  if (CountTokens(line, " ") < 2) return UidlListing();
  int position = MessagePosition(line);
  if (position < 0) return Reply(kInvalidNumber);
  SpoolItem message = settings_.OpenMessage(mailbox_, position);
  if (!message.IsOpen()) return Reply(kInvalidNumber);
  std::string id;
  bool found = settings_.FindMessageId(message, id, kPop3UniqueIdSize) == 0 && !id.empty();
  settings_.CloseItem(message);
  if (!found) return Reply("-ERR " + Num(position + 1) + "  message ID not found\r\n");
  return Reply("+OK " + Num(position + 1) + " " + id + "\r\n");
}

// A message that can no longer be opened (removed behind the server's back) is left out of
// the listing, as RETR and TOP refuse it.
CPop3Connection::Next CPop3Connection::UidlListing() {
  if (mailbox_ < 0) return Reply(kNoMessages);
  std::string text(kUidListing);
  int count = settings_.MessageCount(mailbox_);
  for (int k = 0; k < count; ++k) {
    SpoolItem message = settings_.OpenMessage(mailbox_, k);
    if (!message.IsOpen()) continue;
    std::string id;
    if (settings_.FindMessageId(message, id, kPop3UniqueIdSize) != 0 || id.empty()) {
      id = kNoMessageId;
    }
    settings_.CloseItem(message);
    text += Num(k + 1) + " " + id + "\r\n";
  }
  text += kEndOfListing;
  return Reply(text);
}

int CPop3Connection::MessagePosition(std::string_view line, int token) const {
  long number = 0;
  if (GetTokenNumber(line, " ", token, number) != 0) return -1;
  if (number < 1 || number > settings_.MessageCount(mailbox_)) return -1;
  return static_cast<int>(number - 1);
}

long long CPop3Connection::TotalSize() const {
  long long total = 0;
  int count = settings_.MessageCount(mailbox_);
  for (int k = 0; k < count; ++k) total += settings_.MessageSize(mailbox_, k);
  return total;
}

}  // namespace tarnhold

namespace tarnhold {

bool CPop3Connection::ClearTextLoginAllowed() const {
  // The local host is the one the listener also counts as local: 127.0.0.1.
  return !require_tls_ || Tls() != nullptr || PeerDotted() == "127.0.0.1";
}

// capa = "CAPA" CRLF; STLS is listed only while it may be used, USER only while it would be
// taken.
CPop3Connection::Next CPop3Connection::OnCapa(std::string_view) {
  std::string text(kCapabilities);
  if (ClearTextLoginAllowed()) text += "USER\r\n";
  if (tls_context_ != nullptr && Tls() == nullptr && mailbox_ < 0) text += "STLS\r\n";
  return Reply(text + std::string(kEndOfListing));
}

// stls = "STLS" CRLF: before the login, once. Whatever the client said before is forgotten,
// its USER name included, and whatever it sent after the command in clear text is dropped.
CPop3Connection::Next CPop3Connection::OnStls(std::string_view) {
  if (tls_context_ == nullptr || Tls() != nullptr || mailbox_ >= 0) return Reply(kNoTls);
  if (Reply(kBeginTls) == Next::End) return Next::End;
  if (StartTls(tls_context_) != TlsHandshake::Done) {
    Pop3LogLine("POP3 server: TLS handshake failed with " + PeerDotted());
    return Next::End;
  }
  account_.clear();
  password_.clear();
  Pop3LogLine("POP3 server: TLS from " + PeerDotted() + ": " + Tls()->Description());
  CountEvent(Counter::Pop3TlsSessions);
  return Next::Continue;
}

}  // namespace tarnhold
