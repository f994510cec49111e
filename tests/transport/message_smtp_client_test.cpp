// The monitor's SMTP client against a recording SMTP sink on loopback.
#include "transport/message_smtp_client.h"

#include <gtest/gtest.h>

#include "tests/support/recording_smtp_sink.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::RecordingSmtpSink;

int SendThrough(RecordingSmtpSink& sink, std::string_view to, std::string_view cc,
                std::string_view body = "body\r\n") {
  CMessageSmtpClient client;
  client.SetPort(static_cast<unsigned>(sink.Port()));
  int code = client.Connect("127.0.0.1", "thmon.invalid");
  if (code != kMsgConnected) return code;
  return client.Send(to, "monitor@local.test", "Tarnhold queue alert", body, cc);
}

TEST(MessageSmtpClient, EveryRecipientGetsItsOwnTransaction) {
  RecordingSmtpSink::Options several;
  several.several_messages = true;
  RecordingSmtpSink sink(several);
  ASSERT_TRUE(sink.Listening()) << sink.Error();
  EXPECT_EQ(SendThrough(sink, "a@x.test, B <b@x.test>", "c@x.test", ".dot\r\nline\n"), kMsgSent);
  ASSERT_TRUE(sink.WaitForClosedConnections(1));
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].helo, "thmon.invalid");
  EXPECT_EQ(messages[0].mail_from, "MAIL FROM:<monitor@local.test>");
  EXPECT_EQ(messages[1].rcpt_to, "RCPT TO:<b@x.test>");
  EXPECT_EQ(messages[2].rcpt_to, "RCPT TO:<c@x.test>");
  const std::string& data = messages[2].data;
  EXPECT_NE(data.find("From: monitor@local.test\r\nTo: a@x.test,B <b@x.test>\r\n"
                      "Subject: Tarnhold queue alert\r\nDate: "),
            std::string::npos)
      << data;
  EXPECT_NE(data.find("Cc: c@x.test\r\n\r\n..dot\r\nline\r\n"), std::string::npos) << data;
}

TEST(MessageSmtpClient, ResultCodes) {
  struct Case {
    const char* what;
    RecordingSmtpSink::Options options;
    int want;
  } cases[] = {
      {"HELO refused", {.helo_reply = "501 no"}, kMsgHeloRefused},
      {"MAIL refused", {.mail_reply = "550 no"}, kMsgMailRefused},
      {"RCPT refused", {.rcpt_reply = "550 no"}, kMsgRcptRefused},
      {"DATA refused", {.data_reply = "451 later"}, kMsgDataRefused},
      {"message refused", {.end_reply = "554 no"}, kMsgMailRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingSmtpSink sink(c.options);
    ASSERT_TRUE(sink.Listening());
    EXPECT_EQ(SendThrough(sink, "a@x.test", ""), c.want);
  }
  RecordingSmtpSink sink;
  EXPECT_EQ(SendThrough(sink, "a@x.test", "", ""), kMsgMissingPart);
  CMessageSmtpClient idle;
  EXPECT_EQ(idle.Send("a@x.test", "f@x.test", "s", "b"), kMsgNotConnected);
  EXPECT_EQ(idle.Connect("no-such-host.invalid", "thmon.invalid"), kMsgUnresolved);
  int closed_port = sink.Port();
  {
    RecordingSmtpSink gone;
    closed_port = gone.Port();
  }
  idle.SetPort(static_cast<unsigned>(closed_port));
  EXPECT_EQ(idle.Connect("127.0.0.1", "thmon.invalid"), kMsgConnectFailed);

  CMessageSmtpClient client;
  client.SetPort(static_cast<unsigned>(sink.Port()));
  ASSERT_EQ(client.Connect("127.0.0.1", "thmon.invalid"), kMsgConnected);
  EXPECT_EQ(client.Send("a@x.test", "f@x.test", "s", std::string(40000, 'b')), kMsgBodyFailed);
  EXPECT_EQ(client.Send("a@x.test", "f@x.test", "two\r\nlines", "b"), kMsgFieldFailed);
  client.Abort();
  EXPECT_EQ(client.Send("a@x.test", "f@x.test", "s", "b"), kMsgAborted);
  EXPECT_EQ(client.Connect("127.0.0.1", "thmon.invalid"), kMsgAborted);
}

TEST(MessageSmtpClient, AttachedFilesGoAsPartsOfTheMessage) {
  RecordingSmtpSink sink;
  ASSERT_TRUE(sink.Listening());
  test::TempRoot folder;
  const auto file = folder.Write("thmon-attachment.txt", "queue listing\n");
  CMessageSmtpClient client;
  client.SetPort(static_cast<unsigned>(sink.Port()));
  ASSERT_EQ(client.Connect("127.0.0.1", "thmon.invalid"), kMsgConnected);
  EXPECT_EQ(client.Send("a@x.test", "f@x.test", "s", "see the file\r\n", {}, {},
                        {folder / "no-such-file.txt"}),
            kMsgAttachmentFailed);
  EXPECT_EQ(client.Send("a@x.test", "f@x.test", "s", "see the file\r\n", {}, {}, {file}), kMsgSent);
  client.Close();
  ASSERT_TRUE(sink.WaitForMessages(1));
  const std::string data = sink.Messages().at(0).data;
  EXPECT_NE(data.find("Content-Type: Multipart/Mixed; boundary="), std::string::npos) << data;
  EXPECT_NE(data.find("c2VlIHRoZSBmaWxl"), std::string::npos) << data;  // the body, in base64
  EXPECT_NE(data.find("thmon-attachment.txt"), std::string::npos) << data;
}

}  // namespace
}  // namespace tarnhold
