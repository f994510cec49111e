#include "transport/pop3_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/unique_fd.h"
#include "platform/write_all.h"
#include "transport/pop3_reply.h"

namespace tarnhold {
namespace {

// Past this many bytes of one over-long reply line the server is not speaking POP3.
constexpr std::size_t kMaxReplyLineBytes = 64 * 1024;
constexpr std::size_t kWriteBlock = 64 * 1024;

bool EndsWithLf(std::string_view s) { return !s.empty() && s.back() == '\n'; }

void StripEnd(std::string& s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
}

}  // namespace

bool SplitPop3Host(std::string_view text, std::string& host, unsigned& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    host.assign(text);
    port = kPop3RemotePort;
    return true;
  }
  std::string_view digits = text.substr(colon + 1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
      value > 65535) {
    return false;
  }
  host.assign(text.substr(0, colon));
  port = value;
  return true;
}

CPop3Client::~CPop3Client() { Close(); }

int CPop3Client::Connect(std::string_view host, std::string_view account,
                         std::string_view password) {
  Close();
  unsigned port = 0;
  if (!SplitPop3Host(host, host_, port) || host_.empty()) return kPop3HostUnresolved;
  int rc = CUT_WSClient::Connect(port, host_, connect_timeout_s_);
  if (rc == kWsHostUnresolved) return kPop3HostUnresolved;
  if (rc != kWsSuccess) return kPop3NoConnection;
  // greeting = "+OK" ...; its sign does not matter, USER tells.
  (void)ReadReply();
  if (!Command("USER " + std::string(account)) || !IsPositivePop3Reply(reply_)) {
    Close();
    return kPop3UserRefused;
  }
  if (!Command("PASS " + std::string(password)) || !IsPositivePop3Reply(reply_)) {
    Close();
    return kPop3PassRefused;
  }
  return kPop3Connected;
}

void CPop3Client::Close() {
  if (!Connected()) return;
  (void)CUT_WSClient::Send("Quit\r\n", 6);
  Drop();
}

void CPop3Client::Drop() { (void)CloseConnection(); }

bool CPop3Client::Command(std::string_view command) {
  std::string line(command);
  line += "\r\n";
  // A command that went unanswered may still be answered later: the connection is out of
  // step and goes.
  if (CUT_WSClient::Send(line.data(), static_cast<int>(line.size())) !=
          static_cast<int>(line.size()) ||
      !ReadReply()) {
    reply_.clear();
    Drop();
    return false;
  }
  return true;
}

bool CPop3Client::ReadReply() {
  reply_.clear();
  std::string piece;
  std::size_t total = 0;
  while (true) {
    int n = ReceiveLine(piece, kPop3ReplySize, reply_timeout_s_);
    if (n <= 0 || (!EndsWithLf(piece) && n < kPop3ReplySize - 1)) return false;
    total += static_cast<std::size_t>(n);
    // Only the first 511 bytes are kept; the rest of a longer line is read and dropped so
    // the next reply starts where it should.
    if (reply_.size() < kPop3ReplySize - 1) {
      reply_.append(piece, 0, kPop3ReplySize - 1 - reply_.size());
    }
    if (EndsWithLf(piece)) break;
    if (total > kMaxReplyLineBytes) return false;
  }
  StripEnd(reply_);
  return true;
}

int CPop3Client::Count(std::uint32_t& count) {
  count = 0;
  if (!Connected()) return kPop3NotConnected;
  if (!Command("STAT")) return kPop3NoReply;
  if (!IsPositivePop3Reply(reply_)) return kPop3Negative;
  auto value = Pop3StatCount(reply_);
  if (!value) return kPop3NoNumber;
  count = *value;
  return kPop3Ok;
}

int CPop3Client::ListSize(std::uint32_t n, std::uint64_t& size) {
  size = 0;
  if (!Connected()) return kPop3NotConnected;
  if (!Command("LIST " + std::to_string(n))) return kPop3NoReply;
  if (!IsPositivePop3Reply(reply_)) return kPop3Negative;
  auto value = Pop3ListSize(reply_);
  if (!value) return kPop3NoNumber;
  size = *value;
  return kPop3Ok;
}

int CPop3Client::Retrieve(std::uint32_t n, const std::filesystem::path& path,
                          std::uint64_t max_bytes) {
  if (!Connected()) return kPop3NotConnected;
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file) return kRetrFileFailed;
  if (!Command("RETR " + std::to_string(n))) return kRetrNoReply;
  if (!IsPositivePop3Reply(reply_)) return kRetrNegative;
  int rc = ReceiveData(file.Get(), max_bytes);
  if (rc != kPop3Ok) Drop();
  return rc;
}

int CPop3Client::ReceiveData(int fd, std::uint64_t max_bytes) {
  std::string piece;
  std::string pending;
  std::uint64_t saved = 0;
  bool at_line_start = true;
  while (true) {
    int n = ReceiveLine(piece, kPop3DataPieceSize, reply_timeout_s_);
    // A piece that is neither a whole line nor a full buffer is what came before a time-out,
    // the peer's close or a stop: taking it for a line could misread a "." that is still on
    // its way.
    if (n <= 0 || (!EndsWithLf(piece) && n < kPop3DataPieceSize - 1)) {
      return IsAborted() ? kRetrStopped : kRetrDataStopped;
    }
    Pop3DataPiece data = UnstuffPop3Data(piece, at_line_start);
    if (data.end) break;
    // Byte-stuffing and the final "." belong to lines ended by CR LF; a "." after a bare LF
    // is text.
    at_line_start = piece.ends_with("\r\n");
    saved += data.text.size();
    if (max_bytes > 0 && saved > max_bytes) return kRetrTooLarge;
    pending.append(data.text);
    if (pending.size() >= kWriteBlock) {
      if (!WriteAll(fd, pending)) return kRetrFileFailed;
      pending.clear();
    }
    if (ReceiveProgress(saved) == 0) return kRetrStopped;
  }
  if (!WriteAll(fd, pending)) return kRetrFileFailed;
  return kPop3Ok;
}

int CPop3Client::IsAborted() {
  return stop_ != nullptr && stop_->load(std::memory_order_relaxed) ? 1 : 0;
}

int CPop3Client::ReceiveProgress(std::uint64_t bytes_so_far) {
  (void)bytes_so_far;
  return IsAborted() == 0;
}

int CPop3Client::Delete(std::uint32_t n) {
  if (!Connected()) return kPop3NotConnected;
  if (!Command("DELE " + std::to_string(n))) return kPop3NoReply;
  return IsPositivePop3Reply(reply_) ? kPop3Ok : kPop3Negative;
}

}  // namespace tarnhold
