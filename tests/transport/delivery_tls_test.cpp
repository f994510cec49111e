// STARTTLS in the delivery against a small SMTP peer that can speak TLS: the commands each
// connection carried, whether the message travelled encrypted, and when a second attempt in
// clear text is made.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/support/loopback_socket.h"
#include "tests/transport/delivery_fixture.h"
#include "tests/transport/tls_test_pair.h"
#include "transport/smtp_delivery.h"
#include "transport/socket_io.h"
#include "transport/tls_stream.h"

namespace tarnhold {
namespace {

using Commands = std::vector<std::string>;
enum class Peer { OffersTls, NoTls, RefusesEhlo, BreaksHandshake };

// Serves one connection after another; each ended connection leaves its command lines, and
// "DATA in TLS" or "DATA in clear" for its message.
class TlsSmtpPeer {
 public:
  TlsSmtpPeer(std::shared_ptr<const TlsContext> context, Peer kind)
      : context_(std::move(context)), kind_(kind), thread_([this](std::stop_token stop) {
          while (!stop.stop_requested()) {
            if (UniqueFd fd = listener_.Accept(std::chrono::milliseconds(100))) Serve(fd.Get());
          }
        }) {}
  int Port() const { return listener_.Port(); }
  // The sessions once `count` connections have ended (fewer when ten seconds passed).
  std::vector<Commands> Sessions(std::size_t count) {
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, std::chrono::seconds(10), [&] { return sessions_.size() >= count; });
    return sessions_;
  }

 private:
  void Serve(int fd) {
    SetReceiveTimeoutMs(fd, 10000);
    Commands seen;
    std::unique_ptr<TlsStream> tls;
    LineReader reader;
    auto say = [&](std::string text) { (void)SendAll(fd, text.data(), text.size(), tls.get()); };
    say("220 peer\r\n");
    for (std::string line; reader.Read(fd, line, 1024, 10, LineEnd::CrLf).complete;) {
      seen.push_back(line.substr(0, line.size() - 2));
      const std::string verb = line.substr(0, 4);
      if (verb == "EHLO" && kind_ == Peer::RefusesEhlo) {
        say("502 no\r\n");
      } else if (verb == "EHLO") {
        say(kind_ == Peer::NoTls || tls ? "250 peer\r\n" : "250-peer\r\n250 STARTTLS\r\n");
      } else if (verb == "STAR") {
        say(kind_ == Peer::BreaksHandshake ? "220 go\r\nnot TLS\r\n" : "220 go\r\n");
        reader.DropBuffered();
        tls = std::make_unique<TlsStream>(fd, context_);
        if (tls->Accept(10000) != TlsHandshake::Done) break;
        reader.SetTls(tls.get());
      } else if (verb == "DATA") {
        say("354 go\r\n");
        while (reader.Read(fd, line, 1024, 10, LineEnd::CrLf).complete && line != ".\r\n") {
        }
        seen.push_back(tls ? "DATA in TLS" : "DATA in clear");
        say("250 queued\r\n");
      } else {
        say("250 ok\r\n");
      }
    }
    std::scoped_lock lock(mutex_);
    sessions_.push_back(seen);
    ended_.notify_all();
  }

  test::LoopbackListener listener_;
  std::shared_ptr<const TlsContext> context_;
  Peer kind_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<Commands> sessions_;
  std::jthread thread_;
};

TEST(DeliveryTls, StartTlsWhereOfferedClearTextWhereNotAndNothingUnverifiedWhenAsked) {
  const Commands transaction = {"MAIL FROM: <a@x.test>", "RCPT TO:<b@y.test>", "DATA"};
  auto session = [&](Commands head, const char* data) {
    head.insert(head.end(), transaction.begin(), transaction.end());
    head.push_back(data);
    return head;
  };
  const Commands ehlo = {"EHLO gw.test"}, helo = {"HELO gw.test"};
  const Commands starttls = {"EHLO gw.test", "STARTTLS"};
  const struct {
    const char* name;
    Peer peer;
    OutboundTls mode;
    DeliveryOutcome want;
    std::vector<Commands> sessions;  // what the peer saw, connection by connection
    const char* log;                 // the start of a line the delivery log must hold
  } cases[] = {
      {"offered", Peer::OffersTls, OutboundTls::Opportunistic, DeliveryOutcome::Finished,
       {session({"EHLO gw.test", "STARTTLS", "EHLO gw.test"}, "DATA in TLS")},
       "TLS started: TLSv1."},
      {"not offered", Peer::NoTls, OutboundTls::Opportunistic, DeliveryOutcome::Finished,
       {session(ehlo, "DATA in clear")}, "Mail sent"},
      {"EHLO refused: HELO as before", Peer::RefusesEhlo, OutboundTls::Opportunistic,
       DeliveryOutcome::Finished, {session({"EHLO gw.test", "HELO gw.test"}, "DATA in clear")},
       "502 no"},
      {"TLS off: HELO even when offered", Peer::OffersTls, OutboundTls::Off,
       DeliveryOutcome::Finished, {session(helo, "DATA in clear")}, "Mail sent"},
      {"handshake fails: once more in clear", Peer::BreaksHandshake,
       OutboundTls::Opportunistic, DeliveryOutcome::Finished,
       {starttls, session(helo, "DATA in clear")}, "TLS handshake failed: "},
      {"verified, self-signed peer: not sent", Peer::OffersTls, OutboundTls::Verified,
       DeliveryOutcome::Unchanged, {starttls}, "TLS handshake failed: self-signed"},
      {"verified, not offered: not sent", Peer::NoTls, OutboundTls::Verified,
       DeliveryOutcome::Unchanged, {ehlo}, "STARTTLS not offered"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::SendQueue queue;
    const test::TlsTestPair pair = test::MakeTlsTestPair(queue.Root().Path(), "peer");
    std::string error;
    TlsSmtpPeer peer(MakeServerTlsContext(pair.certificate, pair.key, error), c.peer);
    queue.Add("b@y.test", "a@x.test", "Subject: tls\r\n\r\nbody\r\n.\r\n");
    DeliveryConfig config = test::GatewayConfig("127.0.0.1", peer.Port());
    config.tls = c.mode;
    EXPECT_EQ(queue.DeliverNext(config), c.want);
    EXPECT_EQ(peer.Sessions(c.sessions.size()), c.sessions);
    const auto lines = queue.Log().Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(c.log, 0) == 0; }))
        << c.log;
  }
}

}  // namespace
}  // namespace tarnhold
