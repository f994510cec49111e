// STARTTLS on the receiver: when it is offered, the fresh start after it, and that nothing a
// client sent in clear text behind it is ever run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/server_settings.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"
#include "tests/transport/tls_line_client.h"
#include "tests/transport/tls_test_pair.h"
#include "transport/smtp_server.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const Lines kEhloWithTls = {"250-mx.example", "250-SIZE 52428800", "250-8BITMIME",
                            "250-PIPELINING", "250 STARTTLS"};
const Lines kEhloInTls = {"250-mx.example", "250-SIZE 52428800", "250-8BITMIME",
                          "250 PIPELINING"};

class SmtpStartTls : public ::testing::Test {
 protected:
  SmtpStartTls() : log_(kSmtpInLogName) {
    log_.SetLineSink([this](std::string_view, std::string_view line) {
      std::scoped_lock l(mutex_);
      lines_.emplace_back(line.substr(line.find(' ') + 1));
    });
    InstallActivityLogs({.smtp_in = &log_});
  }
  ~SmtpStartTls() override {
    server_.Shutdown();
    InstallActivityLogs({});
  }
  void SetUp() override {
    fs::create_directories(root_ / "queproc");
    fs::create_directories(root_ / "stat");
    const test::TlsTestPair pair = test::MakeTlsTestPair(root_.Path(), "mx");
    std::string error;
    ASSERT_EQ(credentials_.Load(pair.certificate, pair.key, error), TlsLoadResult::Loaded);
    server_.SetSettings(&settings_);
    server_.SetServerNameSource([] { return std::string("mx.example"); });
    server_.SetTlsCredentials(&credentials_);
    ASSERT_EQ(server_.Start(0, "127.0.0.1"), 0);
  }
  std::unique_ptr<test::TlsLineClient> Greeted() {
    auto c = std::make_unique<test::TlsLineClient>(server_.Port(), "127.0.0.1");
    EXPECT_EQ(c->Line(), "220 mx.example Service Ready");
    return c;
  }
  bool Logged(std::string_view prefix) {
    std::scoped_lock l(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

  test::TempRoot root_;
  CUH_Control log_;
  std::mutex mutex_;
  Lines lines_;
  CServerSettings settings_{root_.Path()};
  TlsServerCredentials credentials_;
  CSmtpServer server_;
};

TEST_F(SmtpStartTls, MessageThroughTlsAfterAFreshEhlo) {
  auto c = Greeted();
  c->SendRaw("EHLO c.test\r\n");
  EXPECT_EQ(c->SmtpReply(), kEhloWithTls);
  ASSERT_EQ(c->Ask("STARTTLS"), "220 Ready to start TLS");
  ASSERT_TRUE(c->StartTls());
  EXPECT_EQ(c->Ask("EHLO c.test"), kEhloInTls.front());
  EXPECT_EQ(c->SmtpReply(), Lines(kEhloInTls.begin() + 1, kEhloInTls.end()));
  EXPECT_EQ(c->Ask("STARTTLS"), "503 Bad Sequence Of Commands.");
  EXPECT_EQ(c->Ask("MAIL FROM:<a@x.test>"), "250 OK a@x.test");
  EXPECT_EQ(c->Ask("RCPT TO:<b@y.test>"), "250 OK  b@y.test ");
  EXPECT_EQ(c->Ask("DATA"), "354 Start mail input, end with <CRLF>.<CRLF>");
  EXPECT_EQ(c->Ask("Subject: secret\r\n\r\nbody\r\n."), "250 Mail Received OK");
  EXPECT_EQ(ListItemNumbers(root_ / "queproc").size(), 1u);
  EXPECT_TRUE(Logged("TLS started: TLSv1."));
}

// RFC 3207: the session starts again, so a transaction begun in clear text is gone.
TEST_F(SmtpStartTls, TransactionBeforeStartTlsIsForgotten) {
  auto c = Greeted();
  EXPECT_EQ(c->Ask("HELO c.test"), "250 mx.example c.test");
  EXPECT_EQ(c->Ask("MAIL FROM:<a@x.test>"), "250 OK a@x.test");
  ASSERT_EQ(c->Ask("STARTTLS"), "220 Ready to start TLS");
  ASSERT_TRUE(c->StartTls());
  EXPECT_EQ(c->Ask("RCPT TO:<b@y.test>"), "503 Bad Sequence Of Commands.");
}

// Commands pipelined behind STARTTLS in the same packet are dropped unread: the first reply
// inside TLS answers the client's first command inside TLS.
TEST_F(SmtpStartTls, CommandsBehindStartTlsAreNeverRun) {
  auto c = Greeted();
  c->SendRaw("STARTTLS\r\nRSET\r\n");
  ASSERT_EQ(c->Line(), "220 Ready to start TLS");
  ASSERT_TRUE(c->StartTls());
  EXPECT_EQ(c->Ask("NOOP"), "250 Requested mail action ok, completed");
  EXPECT_FALSE(Logged("NEW Command: RSET"));
}

TEST_F(SmtpStartTls, RefusalsAndAFailedHandshake) {
  {
    SCOPED_TRACE("parameters");
    auto c = Greeted();
    EXPECT_EQ(c->Ask("STARTTLS now"), "501 Syntax Error In Parameters Or Arguments.");
  }
  {
    SCOPED_TRACE("clear text after the go-ahead ends the session");
    auto c = Greeted();
    EXPECT_EQ(c->Ask("STARTTLS"), "220 Ready to start TLS");
    c->SendRaw("EHLO not really TLS\r\n");
    EXPECT_EQ(c->Line(), "<none>");
  }
  EXPECT_TRUE(Logged("TLS handshake failed with 127.0.0.1: "));
  std::string error;
  ASSERT_EQ(credentials_.Load("", "", error), TlsLoadResult::NotWanted);
  {
    SCOPED_TRACE("no pair loaded");
    auto c = Greeted();
    EXPECT_EQ(c->Ask("EHLO c.test"), "250-mx.example");
    EXPECT_EQ(c->SmtpReply(), (Lines{"250-SIZE 52428800", "250-8BITMIME", "250 PIPELINING"}));
    EXPECT_EQ(c->Ask("STARTTLS"), "502 Command not implemented");
  }
}

}  // namespace
}  // namespace tarnhold
