// STARTTLS in the delivery, against a small SMTP peer that can speak TLS: which commands go
// out, whether the message travels encrypted, and when a second attempt in clear is made.
#include <gtest/gtest.h>
#include <poll.h>

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

using test::SendQueue;

constexpr const char* kText = "Subject: tls\r\n\r\nbody\r\n.\r\n";

// One SMTP connection as the peer saw it: every command line, and whether the data came
// through TLS.
struct PeerSession {
  std::vector<std::string> commands;
  bool data_encrypted = false;
  std::string data;
};

class TlsSmtpPeer {
 public:
  struct Options {
    bool offer_starttls = true;
    bool refuse_ehlo = false;
    bool break_handshake = false;  // answers STARTTLS with 220, then sends clear text
  };

  TlsSmtpPeer(std::shared_ptr<const TlsContext> context, Options options)
      : context_(std::move(context)), options_(options), thread_([this](std::stop_token stop) {
          while (!stop.stop_requested()) {
            UniqueFd fd = listener_.Accept(std::chrono::milliseconds(100));
            if (fd) Serve(fd.Get());
          }
        }) {}

  int Port() const { return listener_.Port(); }
  // The sessions once `count` connections have ended (fewer when the time ran out).
  std::vector<PeerSession> Sessions(std::size_t count) {
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, std::chrono::seconds(10), [&] { return sessions_.size() >= count; });
    return sessions_;
  }

 private:
  void Serve(int fd) {
    SetReceiveTimeoutMs(fd, 10000);
    PeerSession session;
    std::unique_ptr<TlsStream> tls;
    LineReader reader;
    auto say = [&](std::string_view text) {
      std::string line = std::string(text) + "\r\n";
      (void)SendAll(fd, line.data(), line.size(), tls.get());
    };
    say("220 peer ready");
    std::string line;
    while (reader.Read(fd, line, 1024, 10, LineEnd::CrLf).complete) {
      line.resize(line.size() - 2);
      session.commands.push_back(line);
      const std::string verb = line.substr(0, 4);
      if (verb == "EHLO") {
        if (options_.refuse_ehlo) {
          say("502 EHLO not here");
        } else if (options_.offer_starttls && tls == nullptr) {
          say("250-peer\r\n250-PIPELINING\r\n250 STARTTLS");
        } else {
          say("250 peer");
        }
      } else if (verb == "STAR") {
        say("220 Ready to start TLS");
        if (options_.break_handshake) {
          say("this is not TLS");
          break;
        }
        reader.DropBuffered();
        tls = std::make_unique<TlsStream>(fd, context_);
        if (tls->Accept(10000) != TlsHandshake::Done) break;
        reader.SetTls(tls.get());
      } else if (verb == "DATA") {
        say("354 go ahead");
        session.data_encrypted = tls != nullptr;
        while (reader.Read(fd, line, 1024, 10, LineEnd::CrLf).complete && line != ".\r\n") {
          session.data += line;
        }
        say("250 queued");
      } else {
        say("250 ok");
      }
    }
    std::scoped_lock lock(mutex_);
    sessions_.push_back(session);
    ended_.notify_all();
  }

  test::LoopbackListener listener_;
  std::shared_ptr<const TlsContext> context_;
  Options options_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<PeerSession> sessions_;
  std::jthread thread_;
};

using Commands = std::vector<std::string>;

TEST(DeliveryTls, StartTlsWhereOfferedAndClearTextWhereNot) {
  using Opt = TlsSmtpPeer::Options;
  const Commands tls_session = {"EHLO gw.test", "STARTTLS", "EHLO gw.test",
                                "MAIL FROM: <a@x.test>", "RCPT TO:<b@y.test>", "DATA"};
  const Commands clear_ehlo = {"EHLO gw.test", "MAIL FROM: <a@x.test>", "RCPT TO:<b@y.test>",
                               "DATA"};
  const Commands clear_helo = {"HELO gw.test", "MAIL FROM: <a@x.test>", "RCPT TO:<b@y.test>",
                               "DATA"};
  Commands refused_ehlo = clear_helo;
  refused_ehlo.insert(refused_ehlo.begin(), "EHLO gw.test");
  const struct Case {
    const char* name;
    Opt peer;
    OutboundTls mode;
    DeliveryOutcome want;
    std::vector<Commands> sessions;  // what the peer saw, connection by connection
    bool encrypted;                  // the message travelled inside TLS
    const char* log;                 // a line the delivery log must hold (prefix)
  } cases[] = {
      {"offered", Opt{}, OutboundTls::Opportunistic, DeliveryOutcome::Finished, {tls_session},
       true, "TLS started: TLSv1."},
      {"not offered", Opt{.offer_starttls = false}, OutboundTls::Opportunistic,
       DeliveryOutcome::Finished, {clear_ehlo}, false, "Mail sent"},
      {"EHLO refused: HELO as before", Opt{.refuse_ehlo = true}, OutboundTls::Opportunistic,
       DeliveryOutcome::Finished, {refused_ehlo}, false, "502 EHLO not here"},
      {"TLS off: HELO even when offered", Opt{}, OutboundTls::Off, DeliveryOutcome::Finished,
       {clear_helo}, false, "Mail sent"},
      {"handshake fails: once more in clear", Opt{.break_handshake = true},
       OutboundTls::Opportunistic, DeliveryOutcome::Finished,
       {{"EHLO gw.test", "STARTTLS"}, clear_helo}, false, "TLS handshake failed: "},
      {"verified, self-signed peer: not sent", Opt{}, OutboundTls::Verified,
       DeliveryOutcome::Unchanged, {{"EHLO gw.test", "STARTTLS"}}, false,
       "TLS handshake failed: self-signed"},
      {"verified, not offered: not sent", Opt{.offer_starttls = false}, OutboundTls::Verified,
       DeliveryOutcome::Unchanged, {{"EHLO gw.test"}}, false, "STARTTLS not offered"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SendQueue queue;
    const test::TlsTestPair pair = test::MakeTlsTestPair(queue.Root().Path(), "peer");
    std::string error;
    auto context = MakeServerTlsContext(pair.certificate, pair.key, error);
    ASSERT_NE(context, nullptr) << error;
    TlsSmtpPeer peer(context, c.peer);
    queue.Add("b@y.test", "a@x.test", kText);
    DeliveryConfig config = test::GatewayConfig("127.0.0.1", peer.Port());
    config.tls = c.mode;
    EXPECT_EQ(queue.DeliverNext(config), c.want);
    const std::vector<PeerSession> sessions = peer.Sessions(c.sessions.size());
    std::vector<Commands> seen;
    for (const PeerSession& s : sessions) seen.push_back(s.commands);
    EXPECT_EQ(seen, c.sessions);
    if (c.want == DeliveryOutcome::Finished && !sessions.empty()) {
      EXPECT_EQ(sessions.back().data, "Subject: tls\r\n\r\nbody\r\n");
      EXPECT_EQ(sessions.back().data_encrypted, c.encrypted);
    }
    const auto lines = queue.Log().Lines();
    bool found = false;
    for (const std::string& line : lines) found = found || line.rfind(c.log, 0) == 0;
    EXPECT_TRUE(found) << c.log;
  }
}

}  // namespace
}  // namespace tarnhold
