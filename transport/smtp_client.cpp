#include "transport/smtp_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <utility>

#include "message/mime_header.h"
#include "message/uu_file_list.h"
#include "platform/temp_files.h"
#include "platform/unique_fd.h"
#include "transport/dot_stuffing.h"
#include "transport/smtp_date.h"
#include "transport/smtp_wire.h"
#include "transport/tokens.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Longest element of a recipient list.
constexpr std::size_t kMaxRecipientText = 499;
// A pause before the cc and before the bcc recipients.
constexpr std::chrono::milliseconds kListPause{500};

struct OpenedFile {
  UniqueFd fd;
  long long size = 0;
};

// Opens a regular file for reading; false when it cannot be (missing, a folder, no rights).
bool OpenForSending(const fs::path& path, OpenedFile& out) {
  out.fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!out.fd || ::fstat(out.fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.size = st.st_size;
  return true;
}

// One read of up to `size` bytes: the bytes read, 0 at the end, -1 on an error.
long ReadSome(int fd, char* data, std::size_t size) {
  long n;
  do {
    n = ::read(fd, data, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

// `text` without the blanks around it ("a@b, c@d" has the element " c@d").
std::string_view Trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether a comma-separated list names anybody.
bool HasElement(std::string_view list) {
  return list.find_first_not_of(" \t,") != std::string_view::npos;
}

enum class CarriageReturns { Keep, Drop };

// Message data on its way to the socket: content passes a DotStuffer, the result goes out in
// fixed blocks, and every piece of content consumed is reported to `progress`, which says
// whether to go on. Each call returns 0 or the send result code that ends the message.
class DataStream {
 public:
  DataStream(CUT_WSClient& socket, std::function<bool(long long)> progress)
      : socket_(socket), progress_(std::move(progress)) {
    buffer_.reserve(2 * kSmtpDataBlockBytes + 8);
  }

  // Bytes sent as they are (separators the transform must not see).
  [[nodiscard]] int Raw(std::string_view bytes) {
    buffer_ += bytes;
    while (buffer_.size() >= kSmtpDataBlockBytes) {
      if (!SendFront(kSmtpDataBlockBytes)) return kSmtpSendFailed;
    }
    return kSmtpSent;
  }
  // A piece of content through `form`; counted for the progress unless it is the header.
  [[nodiscard]] int Content(std::string_view piece, DotStuffer& form, bool counted = true) {
    stuffed_.clear();
    form.Transform(piece, stuffed_);
    if (int code = Raw(stuffed_); code != kSmtpSent) return code;
    if (counted && !progress_(static_cast<long long>(piece.size()))) return kSmtpStopped;
    return kSmtpSent;
  }
  // A whole file through `form`, block by block.
  [[nodiscard]] int File(int fd, DotStuffer& form, CarriageReturns crs) {
    std::string block(kSmtpDataBlockBytes, '\0');
    for (;;) {
      long n = ReadSome(fd, block.data(), block.size());
      if (n <= 0) return n == 0 ? kSmtpSent : kSmtpFileUnreadable;
      std::string_view piece(block.data(), static_cast<std::size_t>(n));
      std::string kept;
      if (crs == CarriageReturns::Drop) {
        for (char c : piece) {
          if (c != '\r') kept += c;
        }
        piece = kept;
      }
      if (int code = Content(piece, form); code != kSmtpSent) return code;
    }
  }
  // The line that ends the data, and whatever waits in the buffer.
  [[nodiscard]] int Finish() {
    if (Raw("\r\n.\r\n") != kSmtpSent) return kSmtpSendFailed;
    return buffer_.empty() || SendFront(buffer_.size()) ? kSmtpSent : kSmtpSendFailed;
  }

 private:
  bool SendFront(std::size_t size) {
    int sent = socket_.Send(buffer_.data(), static_cast<int>(size));
    if (sent != static_cast<int>(size)) return false;
    buffer_.erase(0, size);
    return true;
  }

  CUT_WSClient& socket_;
  std::function<bool(long long)> progress_;
  std::string buffer_;
  std::string stuffed_;
};

int RefusalCode(SmtpStep step) {
  switch (step) {
    case SmtpStep::Greeting:
    case SmtpStep::Helo:
    case SmtpStep::Ehlo:
    case SmtpStep::StartTls:
      return kSmtpHeloRefused;
    case SmtpStep::Rcpt:
      return kSmtpRcptRefused;
    case SmtpStep::Data:
      return kSmtpDataRefused;
    default:
      return kSmtpMailRefused;
  }
}

}  // namespace

// What one Send call sends to every recipient.
struct CSmtpClient::Outgoing {
  std::string_view from;
  std::string_view subject;
  const MessageText& text;
  std::string_view cc;
  const std::vector<fs::path>& files;
};

// One recipient's copy, with its files opened for this transaction.
struct CSmtpClient::Copy {
  const Outgoing& message;
  std::string address;
  std::string_view to_header;
  OpenedFile appended;
  std::vector<OpenedFile> files;
  long long total = 0;
  long long consumed = 0;
};

std::string RecipientAddress(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == '<' && !quoted) {
      std::string_view rest = text.substr(i + 1);
      return std::string(rest.substr(0, rest.find('>')));
    }
  }
  std::string word;
  (void)GetToken(text, " ", 0, word, text.size() + 1);
  return word;
}

CSmtpClient::~CSmtpClient() { Close(); }

int CSmtpClient::SendProgress(long long bytes_sent, long long total) {
  (void)bytes_sent;
  (void)total;
  return 1;
}

void CSmtpClient::AddExtraHeader(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  extra_headers_.emplace_back(line);
}

int CSmtpClient::Connect(std::string_view host, std::string_view helo_name, unsigned port) {
  Close();
  helo_name_ = helo_name;
  std::string address(host);
  if (!IsIPAddress(host) && ResolveHost(host, address) != kWsSuccess) return kSmtpHostUnresolved;
  if (CUT_WSClient::Connect(port, address, connect_timeout_s_) != kWsSuccess) {
    return kSmtpConnectFailed;
  }
  for (SmtpStep step = SmtpStep::Greeting; step != SmtpStep::Ready;) {
    if (Act(step, nullptr) != kSmtpSent ||
        (step = ReactToReply(step, ReadReply())) == SmtpStep::Refused) {
      if (last_reply_.Complete()) {
        Close();
      } else {
        Abandon();
      }
      return kSmtpHeloRefused;
    }
  }
  return kSmtpConnected;
}

void CSmtpClient::Close() {
  if (GetSocket() < 0) return;
  (void)Send("Quit\r\n", 6);
  CloseConnection();
}

void CSmtpClient::Abandon() { CloseConnection(); }

bool CSmtpClient::Command(std::string_view line) {
  CommandResult sent = SendSmtpCommand(GetSocket(), line);
  if (sent == CommandResult::Failed) Abandon();
  return sent == CommandResult::Sent;
}

SmtpReply& CSmtpClient::ReadReply() {
  last_reply_ = ReadLockstepReply(GetSocket(), reply_timeout_, [this] { return IsAborted() != 0; });
  return last_reply_;
}

int CSmtpClient::Send(std::string_view to, std::string_view from, std::string_view subject,
                      const MessageText& text, std::string_view cc, std::string_view bcc,
                      const std::vector<fs::path>& files) {
  Outgoing message{from, subject, text, cc, files};
  // A send with nobody to send to must not read as sent.
  if (!HasElement(to) && !HasElement(cc) && !HasElement(bcc)) return kSmtpBadRecipient;
  if (int code = SendToList(to, {}, message); code != kSmtpSent) return code;
  for (std::string_view list : {cc, bcc}) {
    if (!HasElement(list)) continue;
    std::this_thread::sleep_for(kListPause);
    if (int code = SendToList(list, to, message); code != kSmtpSent) return code;
  }
  return kSmtpSent;
}

// Each element of `list` gets its own transaction; an empty `to_header` means the element
// itself is the To header.
int CSmtpClient::SendToList(std::string_view list, std::string_view to_header,
                            const Outgoing& message) {
  const int count = CountTokens(list, ",");
  for (int i = 0; i < count; ++i) {
    std::string element;
    // A too-long element is refused, not skipped: skipping would end the list unnoticed.
    if (GetToken(list, ",", i, element, kMaxRecipientText + 1) != 0) return kSmtpBadRecipient;
    if (IsBlank(element)) continue;
    std::string_view trimmed = Trimmed(element);
    Copy copy{message, RecipientAddress(trimmed), to_header.empty() ? trimmed : to_header};
    if (int code = RunTransaction(copy); code != kSmtpSent) return code;
  }
  return kSmtpSent;
}

int CSmtpClient::RunTransaction(Copy& copy) {
  if (!IsConnected()) return kSmtpNotConnected;
  const Outgoing& m = copy.message;
  copy.total = static_cast<long long>(m.text.text.size());
  if (!m.text.appended_file.empty()) {
    if (!OpenForSending(m.text.appended_file, copy.appended)) return kSmtpFileUnreadable;
    copy.total += 2 + copy.appended.size;
  }
  for (const fs::path& path : m.files) {
    if (!OpenForSending(path, copy.files.emplace_back())) return kSmtpFileUnreadable;
    copy.total += copy.files.back().size;
  }
  if (copy.address.size() < 3 || !IsSingleLine(copy.address)) return kSmtpBadRecipient;

  for (SmtpStep step = SmtpStep::Mail; step != SmtpStep::Ready;) {
    if (int code = Act(step, &copy); code != kSmtpSent) return code;
    SmtpStep next = ReactToReply(step, ReadReply());
    if (next == SmtpStep::Refused) {
      if (!last_reply_.Complete()) {
        Abandon();  // gone, stalled or flooding: nothing more can be said on this connection
      } else if (step == SmtpStep::Rcpt || step == SmtpStep::Data) {
        // The server still holds the sender; a later send on this connection starts clean.
        if (!Command("RSET") || !ReadReply().Complete()) Abandon();
      }
      return RefusalCode(step);
    }
    step = next;
  }
  (void)SendProgress(copy.total, copy.total);
  return kSmtpSent;
}

int CSmtpClient::Act(SmtpStep step, Copy* copy) {
  switch (step) {
    case SmtpStep::Greeting:
      return kSmtpSent;
    case SmtpStep::Helo:
      return Command("HELO " + helo_name_) ? kSmtpSent : kSmtpHeloRefused;
    case SmtpStep::Mail:
      return Command("MAIL from:<" + std::string(copy->message.from) + ">") ? kSmtpSent
                                                                            : kSmtpMailRefused;
    case SmtpStep::Rcpt:
      return Command("RCPT to:<" + copy->address + ">") ? kSmtpSent : kSmtpRcptRefused;
    case SmtpStep::Data:
      return Command("DATA") ? kSmtpSent : kSmtpDataRefused;
    case SmtpStep::Message: {
      // A message cut off half-way must never be completed by whatever is sent next.
      int code = SendMessageData(*copy);
      if (code != kSmtpSent) Abandon();
      return code;
    }
    case SmtpStep::Ehlo:  // this client says HELO and speaks in clear to its own receiver
    case SmtpStep::StartTls:
    case SmtpStep::Ready:
    case SmtpStep::Refused:
      break;
  }
  return kSmtpSent;
}

std::string CSmtpClient::BuildHeader(const Copy& copy) const {
  const Outgoing& m = copy.message;
  std::string header = "From: " + OneLine(m.from) + "\r\nTo: " + OneLine(copy.to_header) +
                       "\r\nSubject: " + OneLine(m.subject) + "\r\nDate: " + SmtpDate() + "\r\n";
  const int cc_count = CountTokens(m.cc, ",");
  for (int i = 0; i < cc_count; ++i) {
    std::string element;
    if (GetToken(m.cc, ",", i, element, kMaxRecipientText + 1) == 0 && !IsBlank(element)) {
      header += "cc: " + OneLine(Trimmed(element)) + "\r\n";
    }
  }
  for (const std::string& line : extra_headers_) header += line + "\r\n";
  return header + "\r\n";
}

int CSmtpClient::SendMessageData(Copy& copy) {
  DataStream out(*this, [&](long long consumed) {
    copy.consumed += consumed;
    return SendProgress(copy.consumed, copy.total) != 0 && IsAborted() == 0;
  });
  // Extra header lines may be folded; the header passes the text transform too, so every
  // line of it ends in CR LF and none can end the data.
  DotStuffer text_form(DataForm::Text);
  int code = out.Content(BuildHeader(copy), text_form, false);
  std::string_view text = copy.message.text.text;
  for (std::size_t at = 0; code == kSmtpSent && at < text.size(); at += kSmtpDataBlockBytes) {
    code = out.Content(text.substr(at, kSmtpDataBlockBytes), text_form);
  }
  if (code == kSmtpSent && copy.appended.fd) {
    code = out.Content("\r\n", text_form);
    if (code == kSmtpSent)
      code = out.File(copy.appended.fd.Get(), text_form, CarriageReturns::Drop);
  }
  for (OpenedFile& file : copy.files) {
    if (code != kSmtpSent) break;
    DotStuffer file_form(DataForm::File);
    code = out.Raw("\r\n\r\n");
    if (code == kSmtpSent) code = out.File(file.fd.Get(), file_form, CarriageReturns::Keep);
  }
  return code == kSmtpSent ? out.Finish() : code;
}

int CSmtpClient::SendWithFiles(std::string_view to, std::string_view from, std::string_view subject,
                               std::string_view text, std::string_view cc, CUuFileList& files) {
  std::error_code ec;
  fs::path folder = fs::temp_directory_path(ec);
  if (ec) return kSmtpNoTempFile;
  fs::path temp;
  UniqueFd fd = MakeTempFile(folder, "MIME", temp);
  if (!fd) return kSmtpNoTempFile;
  ::fchmod(fd.Get(), 0600);  // it holds a copy of the attachments
  fd.Reset();
  struct RemoveOnExit {
    const fs::path& path;
    ~RemoveOnExit() {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  } remove_temp{temp};

  if (files.WriteAll(temp) != 0) return Send(to, from, subject, text, cc);
  for (int i = 0; i < files.GlobalHeaderCount(); ++i) {
    std::string line = files.GlobalHeader(static_cast<std::size_t>(i));
    bool known = false;
    for (const std::string& have : extra_headers_) known = known || have == line;
    if (!known) AddExtraHeader(line);
  }
  return Send(to, from, subject, text, cc, {}, {temp});
}

}  // namespace tarnhold
