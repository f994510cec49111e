// The SMTP client against a real server: Postfix's smtp-sink, which accepts everything and
// dumps each transaction into a file of its own (with the dots of the data taken out again).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/postfix_smtp_sink.h"
#include "tests/support/temp_root.h"
#include "transport/local_mail.h"
#include "transport/smtp_client.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::PostfixSmtpSink;

std::string WithLf(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

class SmtpClientSink : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = test::FindPostfixSmtpSink();
    if (program_.empty()) GTEST_SKIP() << "smtp-sink (package postfix) is not installed";
    dumps_ = root_ / "dumps";
    fs::create_directories(dumps_);
    // The sink drops its privileges and writes the dumps as nobody.
    fs::permissions(root_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    fs::permissions(dumps_, fs::perms::all);
  }

  std::string program_;
  test::TempRoot root_;
  fs::path dumps_;
};

TEST_F(SmtpClientSink, TextAndFileArriveAsSent) {
  PostfixSmtpSink sink(program_, dumps_, {});
  ASSERT_TRUE(sink.Ready());
  std::string text = ".first line\r\nsecond line\r\n.\r\n..two dots\r\nlast";
  std::string file_content;
  for (int i = 0; i < 3000; ++i) {
    file_content += (i % 5 == 0 ? "." : "") + std::string("line ") + std::to_string(i) + "\r\n";
  }
  fs::path file = root_.Write("attached.txt", file_content);

  CSmtpClient client;
  ASSERT_EQ(client.Connect(sink.Address(), "local", static_cast<unsigned>(sink.Port())),
            kSmtpConnected);
  EXPECT_EQ(client.Send("one@example.test, Two <two@example.test>", "gw@example.test", "Files",
                        text, "", "", {file}),
            kSmtpSent);
  client.Close();

  std::vector<std::string> dumps = sink.WaitForDumps(2);
  ASSERT_EQ(dumps.size(), 2u);
  std::string want_data = WithLf(text + "\r\n\r\n" + file_content);
  int seen_one = 0;
  int seen_two = 0;
  for (const std::string& dump : dumps) {
    seen_one += dump.find("X-Rcpt-Args: <one@example.test>") != std::string::npos;
    seen_two += dump.find("X-Rcpt-Args: <two@example.test>") != std::string::npos;
    EXPECT_NE(dump.find("X-Mail-Args: <gw@example.test>"), std::string::npos);
    EXPECT_NE(dump.find("\nSubject: Files\n"), std::string::npos);
    std::size_t body = dump.find("\n\n");
    ASSERT_NE(body, std::string::npos);
    // The sink's dump ends with an empty line of its own.
    EXPECT_TRUE(dump.compare(body + 2, want_data.size(), want_data) == 0)
        << "the data differs from what was sent; dump of " << dump.size() << " bytes";
  }
  EXPECT_EQ(seen_one, 1);
  EXPECT_EQ(seen_two, 1);
}

TEST_F(SmtpClientSink, SendLocalMailArrives) {
  PostfixSmtpSink sink(program_, dumps_, {}, "127.0.0.1");
  ASSERT_TRUE(sink.Ready());
  fs::path reply = root_.Write("reply.txt", "Held by the gateway.\n.\nEnd\n");
  EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(sink.Port()), "sender@example.test",
                          "admin@gw.test", "RE: Your message", "Hello", reply),
            kLocalMailSent);
  std::vector<std::string> dumps = sink.WaitForDumps(1);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_NE(dumps[0].find("X-Helo-Args: local"), std::string::npos);
  EXPECT_NE(dumps[0].find("\n\nHello\nHeld by the gateway.\n.\nEnd\n"), std::string::npos);
}

TEST_F(SmtpClientSink, RefusedRecipientAndTheNextSend) {
  PostfixSmtpSink sink(program_, dumps_, {"-f", "RCPT", "-B", "550 5.1.1 User unknown"});
  ASSERT_TRUE(sink.Ready());
  CSmtpClient client;
  ASSERT_EQ(client.Connect(sink.Address(), "local", static_cast<unsigned>(sink.Port())),
            kSmtpConnected);
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  EXPECT_EQ(client.LastReply().code, 250);  // the RSET after the refusal
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  client.Close();
}

}  // namespace
}  // namespace tarnhold
