// SmtpSendItem: one queue item over one SMTP connection, HELO to the end of the data.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "transport/smtp_delivery.h"
#include "transport/smtp_dialogue.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_wire.h"
#include "transport/socket_io.h"
#include "transport/ws_client.h"

namespace tarnhold {
namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";

// Reads one reply and logs each of its lines. The reply has kDeliveryTimeoutS to complete;
// `aborted` ends the wait early.
SmtpReply ReadReply(int fd, const std::function<bool()>& aborted) {
  SmtpReadOptions options;
  options.timeout = std::chrono::seconds(kDeliveryTimeoutS);
  options.aborted = aborted;
  SmtpReply reply = ReadSmtpReply(fd, options);
  for (const std::string& line : reply.lines) SmtpOutLogLine(line);
  return reply;
}

// The last bytes of the data stream, to tell whether it already ends with the "." line.
class StreamTail {
 public:
  // The data follows the CR LF of the DATA command, so a text that is only the "." line
  // counts as ending with it.
  StreamTail() : tail_("\r\n") {}
  void Add(std::string_view bytes) {
    tail_.append(bytes);
    if (tail_.size() > kTerminator.size()) tail_.erase(0, tail_.size() - kTerminator.size());
  }
  [[nodiscard]] bool EndsWithDotLine() const { return tail_ == kTerminator; }

 private:
  std::string tail_;
};

enum class DataResult { Sent, SendFailed, ReadFailed };

// Gathers the pieces of the data into batches, so that a message goes out in a few large
// segments instead of one small one per piece (which would wait for the peer's delayed ACKs).
class DataOut {
 public:
  explicit DataOut(int fd) : fd_(fd) { batch_.reserve(kSendBatchBytes); }
  bool Add(std::string_view bytes) {
    tail_.Add(bytes);
    batch_.append(bytes);
    return batch_.size() < kSendBatchBytes || Flush();
  }
  bool Flush() {
    bool ok = SendAll(fd_, batch_.data(), batch_.size()) == static_cast<long>(batch_.size());
    batch_.clear();
    return ok;
  }
  [[nodiscard]] bool EndsWithDotLine() const { return tail_.EndsWithDotLine(); }

 private:
  int fd_;
  std::string batch_;
  StreamTail tail_;
};

// Sends the banner, the stored text in pieces and, when needed, the terminator.
DataResult SendData(int fd, const SendItemData& data) {
  DataOut out(fd);
  if (data.return_kind != kReturnNone &&
      !out.Add(ReturnedMailBanner(data.return_kind, data.settings.MakeMessageId(),
                                  data.recipient, data.sender, ""))) {
    return DataResult::SendFailed;
  }
  SmtpOutLogLine("Sending Data Out");
  if (!data.item.File().Seek(data.text_offset)) return DataResult::ReadFailed;
  // The file is read in large blocks; the text still goes out, and its progress is still
  // counted, in pieces of kSendPieceBytes.
  std::vector<char> block(kSendReadBlockBytes);
  long total = 0;
  int pieces = 0;
  for (;;) {
    long n = data.item.File().Read(block.data(), block.size());
    if (n < 0) return DataResult::ReadFailed;  // never end a message that was not read whole
    if (n == 0) break;
    for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += kSendPieceBytes) {
      const std::size_t size = std::min(kSendPieceBytes, static_cast<std::size_t>(n) - at);
      if (!out.Add(std::string_view(block.data() + at, size))) return DataResult::SendFailed;
      total += static_cast<long>(size);
      if (++pieces % kPiecesPerProgressLine == 0) {
        SmtpOutLogLine("Total Sent: " + std::to_string(total));
      }
    }
  }
  if (!out.EndsWithDotLine() && !out.Add(kTerminator)) return DataResult::SendFailed;
  return out.Flush() ? DataResult::Sent : DataResult::SendFailed;
}

// Connects as the delivery does: a given address (dotted, or a name resolved first), or else
// the host name. Logs "Connect Failed" only for a given address.
bool ConnectTo(CUT_WSClient& client, std::string_view host_name, std::string_view host_address,
               unsigned port) {
  if (host_address.empty()) {
    return client.Connect(port, host_name, kDeliveryTimeoutS) == kWsSuccess;
  }
  std::string dotted(host_address);
  bool ok = CUT_WSClient::IsIPAddress(host_address) ||
            client.ResolveHost(host_address, dotted) == kWsSuccess;
  if (!ok || client.Connect(port, dotted, kDeliveryTimeoutS) != kWsSuccess) {
    SmtpOutLogLine("Connect Failed " + std::string(host_address));
    return false;
  }
  return true;
}

struct CommandStep {
  SmtpStep step;
  std::string line;
  SendItemResult refused;
  const char* refused_log;
};

SendItemResult Exchange(int fd, const SendItemData& data, std::string_view helo_name,
             const std::function<bool()>& aborted) {
  // The greeting's value is not judged, but a server that never completes one is not asked
  // anything further.
  if (ReactToReply(SmtpStep::Greeting, ReadReply(fd, aborted)) != SmtpStep::Helo) {
    SmtpOutLogLine("HELO Failed");
    return SendItemResult::HeloRefused;
  }
  const CommandStep steps[] = {
      {SmtpStep::Helo, "HELO " + std::string(helo_name), SendItemResult::HeloRefused, "HELO Failed"},
      {SmtpStep::Mail, "MAIL FROM: <" + data.sender + ">", SendItemResult::MailRefused, "MAIL Failed"},
      {SmtpStep::Rcpt, "RCPT TO:<" + data.recipient + ">", SendItemResult::RcptRefused, "RCPT Failed"},
      {SmtpStep::Data, "DATA", SendItemResult::DataRefused, "DATA Failed"},
  };
  for (const CommandStep& s : steps) {
    bool sent = SendSmtpCommand(fd, s.line) == CommandResult::Sent;
    if (!sent || ReactToReply(s.step, ReadReply(fd, aborted), DataGoAhead::Any3xx) ==
                     SmtpStep::Refused) {
      SmtpOutLogLine(s.refused_log);
      return s.refused;
    }
  }
  if (SendData(fd, data) != DataResult::Sent ||
      ReactToReply(SmtpStep::Message, ReadReply(fd, aborted)) != SmtpStep::Ready) {
    SmtpOutLogLine("Send Data Failed");
    return SendItemResult::DataRefused;
  }
  SmtpOutLogLine("Send Data Finished");
  return SendItemResult::Sent;
}

}  // namespace

SendItemResult SmtpSendItem(const SendItemData& data, std::string_view host_name,
                 std::string_view host_address, unsigned port, std::string_view helo_name,
                 const std::function<bool()>& aborted) {
  CUT_WSClient client;
  if (!ConnectTo(client, host_name, host_address, port)) return SendItemResult::NoConnection;
  SmtpOutLogLine("Connected");
  // Every write is a whole command or a whole batch: nothing gains from holding it back.
  int one = 1;
  ::setsockopt(client.GetSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const SendItemResult result = Exchange(client.GetSocket(), data, helo_name, aborted);
  client.CloseConnection();  // no QUIT: the reply to the data has settled the outcome
  return result;
}

}  // namespace tarnhold
