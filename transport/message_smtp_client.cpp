#include "transport/message_smtp_client.h"

#include <charconv>

#include "message/buffer_source.h"
#include "message/file_sources.h"
#include "message/mail_message.h"
#include "transport/dot_stuffing.h"
#include "transport/smtp_client.h"
#include "transport/smtp_date.h"
#include "transport/smtp_wire.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Folded address lines stay below this.
constexpr std::size_t kFoldColumn = 250;
// Message data goes out in pieces of at most this much.
constexpr std::size_t kMaxPiece = 999;
constexpr std::size_t kMaxLine = 1000;

std::vector<std::string> SplitRecipients(std::string_view list) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at <= list.size()) {
    std::size_t end = list.find_first_of("\r\n\t,", at);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(at, end - at);
    std::size_t first = item.find_first_not_of(' ');
    if (first != std::string_view::npos) {
      item = item.substr(first, item.find_last_not_of(' ') - first + 1);
      out.emplace_back(item);
    }
    at = end + 1;
  }
  return out;
}

// "To: a,b,..." with "\r\n\t" before a recipient that would pass the fold column.
std::string FoldedLine(const char* name, const std::vector<std::string>& recipients) {
  std::string line = name;
  std::size_t column = line.size();
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    std::string piece = (i ? "," : "") + recipients[i];
    if (i && column + piece.size() > kFoldColumn) {
      line += ",\r\n\t";
      piece = recipients[i];
      column = 1;
    }
    line += piece;
    column += piece.size();
  }
  return line;
}

std::string HeaderLine(std::string line) {
  for (char& c : line) {
    if (c == '\0') c = ' ';
  }
  if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) line += "\r\n";
  return line;
}

}  // namespace

struct CMessageSmtpClient::Message {
  std::string from;
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
  std::vector<std::string> extra_headers;
  std::string encoded;  // the message with its attachments; empty when it has none
  bool has_attachments = false;
};

bool SplitHostPort(std::string_view text, unsigned default_port, std::string& host,
                   unsigned& port) {
  std::size_t colon = text.rfind(':');
  port = default_port;
  host = std::string(text.substr(0, colon));
  if (colon == std::string_view::npos) return true;
  std::string_view digits = text.substr(colon + 1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

CMessageSmtpClient::~CMessageSmtpClient() { Close(); }

int CMessageSmtpClient::SendProgress(long long, long long) { return 1; }

void CMessageSmtpClient::Close() {
  if (GetSocket() < 0) return;
  (void)CUT_WSClient::Send("QUIT\r\n", 6);
  CloseConnection();
}

bool CMessageSmtpClient::Command(const std::string& line) {
  if (SendSmtpCommand(GetSocket(), line) == CommandResult::Sent) return true;
  CloseConnection();
  return false;
}

const SmtpReply& CMessageSmtpClient::ReadReply() {
  last_reply_ = ReadLockstepReply(GetSocket(), reply_timeout_, [this] { return IsAborted() != 0; });
  return last_reply_;
}

int CMessageSmtpClient::Connect(std::string_view host, std::string_view helo_name) {
  Close();
  std::string address(host);
  if (!IsIPAddress(host) && ResolveHost(host, address) != kWsSuccess) return kMsgUnresolved;
  if (CUT_WSClient::Connect(port_, address, static_cast<long>(connect_timeout_.count())) !=
      kWsSuccess) {
    return kMsgConnectFailed;
  }
  if (IsAborted()) {
    CloseConnection();
    return kMsgAborted;
  }
  for (SmtpStep step = SmtpStep::Greeting; step != SmtpStep::Ready;) {
    if (step == SmtpStep::Helo && !Command("HELO " + std::string(helo_name))) {
      return kMsgHeloRefused;
    }
    step = ReactToReply(step, ReadReply());
    if (step == SmtpStep::Refused) {
      if (IsAborted()) {
        CloseConnection();
        return kMsgAborted;
      }
      if (last_reply_.Complete())
        Close();
      else
        CloseConnection();
      return kMsgHeloRefused;
    }
  }
  return kMsgConnected;
}

int CMessageSmtpClient::Send(std::string_view to, std::string_view from, std::string_view subject,
                             std::string_view body, std::string_view cc, std::string_view bcc,
                             const std::vector<fs::path>& attachments) {
  if (to.empty() || from.empty() || subject.empty() || body.empty()) return kMsgMissingPart;
  // Recipient lists are split at line ends; the sender and the subject are one line each.
  if (!IsSingleLine(from) || !IsSingleLine(subject)) return kMsgFieldFailed;
  Message m;
  m.from = std::string(from);
  m.subject = std::string(subject);
  m.to = SplitRecipients(to);
  m.cc = SplitRecipients(cc);
  m.bcc = SplitRecipients(bcc);
  m.body = std::string(body);
  if (body.size() >= CMailMessage::kBodyCapacity) return kMsgBodyFailed;

  if (!attachments.empty()) {
    CMailMessage message;
    if (message.SetBody(m.body.c_str()) != 1) return kMsgBodyFailed;
    for (const fs::path& path : attachments) {
      CFileSource file(path, 4096);
      if (message.AddAttachment(file, path.filename().string()) != 0) return kMsgAttachmentFailed;
    }
    // The encoded message goes into memory sized to the message plus 4096 bytes.
    std::size_t size = m.body.size() + 4096;
    std::error_code ec;
    for (const fs::path& path : attachments) size += fs::file_size(path, ec) * 4 / 3 + 4096;
    std::string buffer(size, '\0');
    CBufferSource body_source(m.body.data(), m.body.size(), "Body", m.body.size());
    CBufferSource out(buffer.data(), buffer.size(), "Attachments");
    if (message.Encode(body_source, out) != 0) return kMsgAttachmentFailed;
    buffer.resize(out.Length());
    m.encoded = std::move(buffer);
    m.has_attachments = true;
    for (int i = 0; const char* line = message.GlobalHeader(i); ++i)
      m.extra_headers.emplace_back(line);
  }

  for (const auto* list : {&m.to, &m.cc, &m.bcc}) {
    for (const std::string& recipient : *list) {
      if (IsAborted()) return kMsgAborted;
      if (int code = Transaction(m, recipient); code != kMsgSent) return code;
    }
  }
  return kMsgSent;
}

int CMessageSmtpClient::Transaction(const Message& m, const std::string& recipient) {
  if (!IsConnected()) return kMsgNotConnected;
  std::string address = RecipientAddress(recipient);
  if (address.empty() || !IsSingleLine(address)) return kMsgUnresolved;
  for (SmtpStep step = SmtpStep::Mail; step != SmtpStep::Ready;) {
    bool sent = true;
    switch (step) {
      case SmtpStep::Mail:
        sent = Command("MAIL FROM:<" + m.from + ">");
        break;
      case SmtpStep::Rcpt:
        sent = Command("RCPT TO:<" + address + ">");
        break;
      case SmtpStep::Data:
        sent = Command("DATA");
        break;
      case SmtpStep::Message:
        if (int code = SendData(m); code != kMsgSent) {
          CloseConnection();  // a message cut off half-way is never completed
          return code;
        }
        break;
      default:
        break;
    }
    if (!sent) return kMsgShortSend;
    SmtpStep next = ReactToReply(step, ReadReply());
    if (next == SmtpStep::Refused) {
      if (IsAborted()) return kMsgAborted;
      if (step == SmtpStep::Rcpt || step == SmtpStep::Data) {
        if (!last_reply_.Complete() || !Command("RSET") || !ReadReply().Complete()) {
          CloseConnection();
        }
      }
      switch (step) {
        case SmtpStep::Rcpt:
          return kMsgRcptRefused;
        case SmtpStep::Data:
          return kMsgDataRefused;
        default:
          return kMsgMailRefused;
      }
    }
    step = next;
  }
  return kMsgSent;
}

int CMessageSmtpClient::SendBlock(std::string_view bytes, long long& sent, long long total) {
  while (!bytes.empty()) {
    std::size_t piece = std::min(bytes.size(), kMaxPiece);
    int n = CUT_WSClient::Send(bytes.data(), static_cast<int>(piece));
    if (n != static_cast<int>(piece)) return kMsgShortSend;
    sent += n;
    bytes.remove_prefix(piece);
    if (IsAborted() || SendProgress(sent, total) == 0) return kMsgAborted;
  }
  return kMsgSent;
}

int CMessageSmtpClient::SendData(const Message& m) {
  std::string header = HeaderLine("From: " + m.from) + HeaderLine(FoldedLine("To: ", m.to)) +
                       HeaderLine("Subject: " + m.subject) + HeaderLine("Date: " + SmtpDate());
  if (!m.cc.empty()) header += HeaderLine(FoldedLine("Cc: ", m.cc));
  for (const std::string& line : m.extra_headers) header += HeaderLine(line);
  header += "\r\n";
  // Every line of the data goes through the dot doubling, so no content ends it early.
  DotStuffer form(DataForm::Text);
  std::string data;
  form.Transform(header, data);
  if (m.has_attachments) {
    form.Transform(m.encoded, data);
  } else {
    // The body line by line (up to 1000 characters), each ending in CR LF.
    std::string_view body = m.body;
    while (!body.empty()) {
      std::size_t end = body.find('\n');
      std::string_view line = body.substr(0, std::min({end, body.size(), kMaxLine}));
      body.remove_prefix(end == std::string_view::npos || line.size() < end ? line.size()
                                                                            : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      form.Transform(line, data);
      form.Transform("\r\n", data);
    }
  }
  if (!form.AtLineStart()) data += "\r\n";
  data += ".\r\n";
  long long sent = 0;
  return SendBlock(data, sent, static_cast<long long>(data.size()));
}

}  // namespace tarnhold
