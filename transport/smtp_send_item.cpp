// SmtpSendItem: one queue item over one SMTP connection, HELO (or EHLO and STARTTLS) to the
// end of the data.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/metrics.h"
#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "transport/smtp_delivery.h"
#include "transport/smtp_dialogue.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_wire.h"
#include "transport/socket_io.h"
#include "transport/tls_context.h"
#include "transport/ws_client.h"

namespace tarnhold {
namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";

// One connection of the exchange: its socket (and TLS session once STARTTLS has passed) and
// the abort query.
struct Session {
  CUT_WSClient& client;
  const std::function<bool()>& aborted;

  // Reads one reply and logs each of its lines. The reply has kDeliveryTimeoutS to complete;
  // `aborted` ends the wait early.
  SmtpReply Read() const {
    SmtpReadOptions options;
    options.timeout = std::chrono::seconds(kDeliveryTimeoutS);
    options.aborted = aborted;
    options.tls = client.Tls();
    SmtpReply reply = ReadSmtpReply(client.GetSocket(), options);
    SmtpOutLogLines(reply.lines);
    return reply;
  }
  [[nodiscard]] bool Command(std::string_view line) const {
    return SendSmtpCommand(client.GetSocket(), line, client.Tls()) == CommandResult::Sent;
  }
  // Sends `line` and reads the reply; the step that follows.
  [[nodiscard]] SmtpStep Ask(SmtpStep step, std::string_view line) const {
    if (!Command(line)) return SmtpStep::Refused;
    return ReactToReply(step, Read(), DataGoAhead::Any3xx);
  }
};

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
  DataOut(int fd, TlsStream* tls) : fd_(fd), tls_(tls) { batch_.reserve(kSendBatchBytes); }
  bool Add(std::string_view bytes) {
    tail_.Add(bytes);
    batch_.append(bytes);
    return batch_.size() < kSendBatchBytes || Flush();
  }
  bool Flush() {
    bool ok =
        SendAll(fd_, batch_.data(), batch_.size(), tls_) == static_cast<long>(batch_.size());
    batch_.clear();
    return ok;
  }
  [[nodiscard]] bool EndsWithDotLine() const { return tail_.EndsWithDotLine(); }

 private:
  int fd_;
  TlsStream* tls_;
  std::string batch_;
  StreamTail tail_;
};

// Sends the banner, the stored text in pieces and, when needed, the terminator.
DataResult SendData(const Session& session, const SendItemData& data) {
  DataOut out(session.client.GetSocket(), session.client.Tls());
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

enum class Opened {
  Ready,       // greeted and introduced: the transaction may begin
  Refused,     // "HELO Failed" is logged
  RetryClear,  // the TLS handshake failed where clear text is allowed: connect once more
};

// EHLO, with HELO after a refusal (the same bytes from there on as a client that only says
// HELO); `offers_tls` tells whether the EHLO reply listed STARTTLS.
bool Introduce(const Session& session, std::string_view helo_name, bool& offers_tls) {
  offers_tls = false;
  if (!session.Command("EHLO " + std::string(helo_name))) return false;
  SmtpReply reply = session.Read();
  if (ReactToReply(SmtpStep::Ehlo, reply) == SmtpStep::Ready) {
    offers_tls = HasExtension(reply, "STARTTLS");
    return true;
  }
  if (!reply.Complete()) return false;  // gone or stalled: nothing more to say
  return session.Ask(SmtpStep::Helo, "HELO " + std::string(helo_name)) == SmtpStep::Ready;
}

// STARTTLS and the handshake, then EHLO again inside TLS: the session starts afresh.
Opened SecureSession(const Session& session, std::string_view helo_name, const TlsUse& tls) {
  const bool verify = tls.mode == OutboundTls::Verified;
  if (session.Ask(SmtpStep::StartTls, "STARTTLS") != SmtpStep::Ready) {
    if (verify) {
      SmtpOutLogLine("STARTTLS refused, and TLS verification is asked for: not sent");
      return Opened::Refused;
    }
    // The server keeps its state after a refused STARTTLS: the session goes on in clear.
    SmtpOutLogLine("STARTTLS refused, going on without TLS");
    return Opened::Ready;
  }
  const TlsHandshake shake =
      session.client.StartTls(ClientTlsContext(verify ? TlsVerify::Yes : TlsVerify::No),
                              tls.name, kDeliveryTimeoutS);
  if (shake != TlsHandshake::Done) {
    if (verify) {
      SmtpOutLogLine("TLS handshake failed: " + session.client.TlsError());
      return Opened::Refused;
    }
    SmtpOutLogLine("TLS handshake failed: " + session.client.TlsError() +
                   "; trying once more without TLS");
    return Opened::RetryClear;
  }
  SmtpOutLogLine("TLS started: " + session.client.Tls()->Description() +
                 (verify ? ", certificate verified" : ""));
  bool offers_again = false;
  return Introduce(session, helo_name, offers_again) ? Opened::Ready : Opened::Refused;
}

Opened Open(const Session& session, std::string_view helo_name, const TlsUse& tls) {
  // The greeting's value is not judged, but a server that never completes one is not asked
  // anything further.
  if (ReactToReply(SmtpStep::Greeting, session.Read()) != SmtpStep::Helo) return Opened::Refused;
  if (tls.mode == OutboundTls::Off) {
    return session.Ask(SmtpStep::Helo, "HELO " + std::string(helo_name)) == SmtpStep::Ready
               ? Opened::Ready
               : Opened::Refused;
  }
  bool offers_tls = false;
  if (!Introduce(session, helo_name, offers_tls)) return Opened::Refused;
  if (offers_tls) return SecureSession(session, helo_name, tls);
  if (tls.mode == OutboundTls::Verified) {
    SmtpOutLogLine("STARTTLS not offered, and TLS verification is asked for: not sent");
    return Opened::Refused;
  }
  return Opened::Ready;
}

SendItemResult Exchange(const Session& session, const SendItemData& data,
                        std::string_view helo_name, const TlsUse& tls, bool& retry_clear) {
  retry_clear = false;
  switch (Open(session, helo_name, tls)) {
    case Opened::Ready:
      CountEvent(Counter::SmtpOutSessions);
      if (session.client.Tls() != nullptr) CountEvent(Counter::SmtpOutTlsSessions);
      break;
    case Opened::RetryClear:
      retry_clear = true;
      return SendItemResult::HeloRefused;
    case Opened::Refused:
      SmtpOutLogLine("HELO Failed");
      return SendItemResult::HeloRefused;
  }
  const CommandStep steps[] = {
      {SmtpStep::Mail, "MAIL FROM: <" + data.sender + ">", SendItemResult::MailRefused, "MAIL Failed"},
      {SmtpStep::Rcpt, "RCPT TO:<" + data.recipient + ">", SendItemResult::RcptRefused, "RCPT Failed"},
      {SmtpStep::Data, "DATA", SendItemResult::DataRefused, "DATA Failed"},
  };
  for (const CommandStep& s : steps) {
    if (session.Ask(s.step, s.line) == SmtpStep::Refused) {
      SmtpOutLogLine(s.refused_log);
      return s.refused;
    }
  }
  if (SendData(session, data) != DataResult::Sent ||
      ReactToReply(SmtpStep::Message, session.Read()) != SmtpStep::Ready) {
    SmtpOutLogLine("Send Data Failed");
    return SendItemResult::DataRefused;
  }
  SmtpOutLogLine("Send Data Finished");
  return SendItemResult::Sent;
}

}  // namespace

SendItemResult SmtpSendItem(const SendItemData& data, std::string_view host_name,
                            std::string_view host_address, unsigned port,
                            std::string_view helo_name, const TlsUse& tls,
                            const std::function<bool()>& aborted) {
  TlsUse use = tls;
  for (;;) {
    CUT_WSClient client;
    if (!ConnectTo(client, host_name, host_address, port)) return SendItemResult::NoConnection;
    SmtpOutLogLine("Connected");
    // Every write is a whole command or a whole batch: nothing gains from holding it back.
    int one = 1;
    ::setsockopt(client.GetSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool retry_clear = false;
    const SendItemResult result =
        Exchange(Session{client, aborted}, data, helo_name, use, retry_clear);
    client.CloseConnection();  // no QUIT: the reply to the data has settled the outcome
    // Only once: the second attempt speaks clear text, which cannot fail the same way.
    if (!retry_clear || use.mode == OutboundTls::Off) return result;
    use.mode = OutboundTls::Off;
  }
}

}  // namespace tarnhold
