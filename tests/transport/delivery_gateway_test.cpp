// Delivery through a gateway (type 0) and the routing table, against a recording SMTP sink:
// what goes over the wire, what the log says, and what becomes of the item.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/recording_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

using test::RecordingSmtpSink;
using test::SendQueue;
using test::SinkMessage;

constexpr const char* kText = "Subject: hello\r\n\r\nline one\r\n..dot line\r\n.\r\n";

TEST(DeliveryGateway, SendsToTheGatewayLogsEveryStepAndDeletesTheItem) {
  SendQueue queue;
  RecordingSmtpSink sink;
  std::uint32_t n = queue.Add("bob@y.test", "anna@x.test", kText);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  SinkMessage m = sink.Messages().at(0);
  EXPECT_EQ(m.helo, "gw.test");
  EXPECT_EQ(m.mail_from, "MAIL FROM: <anna@x.test>");
  EXPECT_EQ(m.rcpt_to, "RCPT TO:<bob@y.test>");
  EXPECT_EQ(m.data, "Subject: hello\r\n\r\nline one\r\n..dot line\r\n");  // sent as stored
  EXPECT_TRUE(m.after.empty());  // no QUIT, no second terminator
  EXPECT_FALSE(queue.Item(n));
  std::vector<std::string> want{"SMTPOUT To:bob@y.test From:anna@x.test",
                                "Domain Name:y.test",
                                "Connecting to 127.0.0.1",
                                "Connected",
                                "220 sink ready",
                                "250 sink",
                                "250 2.1.0 Ok",
                                "250 2.1.5 Ok",
                                "354 End data with <CR><LF>.<CR><LF>",
                                "Sending Data Out",
                                "250 2.0.0 Ok: queued",
                                "Send Data Finished",
                                "Mail sent"};
  EXPECT_EQ(queue.Log().Lines(), want);
}

TEST(DeliveryGateway, TerminatorSentOnlyWhenTheTextLacksTheDotLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string want_data;
  };
  const Case cases[] = {
      {"ends with the dot line", "a\r\nb\r\n.\r\n", "a\r\nb\r\n"},
      {"ends with a line break only", "a\r\nb\r\n", "a\r\nb\r\n\r\n"},
      {"ends inside a line", "a\r\nb", "a\r\nb\r\n"},
      {"only the dot line", ".\r\n", ""},
      {"empty", "", "\r\n"},
      {"ends with a stuffed dot line", "a\r\n..\r\n", "a\r\n..\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SendQueue queue;
    RecordingSmtpSink sink;
    queue.Add("bob@y.test", "anna@x.test", c.text);
    EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
              DeliveryOutcome::Finished);
    ASSERT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(sink.Messages().at(0).data, c.want_data);
    EXPECT_TRUE(sink.Messages().at(0).after.empty());
  }
}

TEST(DeliveryGateway, LongTextLogsProgressEveryTwentyPieces) {
  SendQueue queue;
  RecordingSmtpSink sink;
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::string(62, 'x') + "\r\n";  // 19200 bytes
  text += ".\r\n";
  queue.Add("bob@y.test", "anna@x.test", text);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  EXPECT_EQ(sink.Messages().at(0).data.size(), text.size() - 3);
  EXPECT_TRUE(queue.Log().Has("Total Sent: 10240"));
  EXPECT_FALSE(queue.Log().Has("Total Sent: 20480"));
}

TEST(DeliveryGateway, RefusedRecipientBecomesReturnedMailToTheSender) {
  SendQueue queue;
  RecordingSmtpSink::Options refuse;
  refuse.rcpt_reply = "550 5.1.1 User unknown";
  RecordingSmtpSink refusing(refuse);
  std::uint32_t n = queue.Add("bob@y.test", "anna@x.test", kText, 0);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", refusing.Port())),
            DeliveryOutcome::Requeued);
  EXPECT_TRUE(queue.Log().Has("550 5.1.1 User unknown"));
  EXPECT_TRUE(queue.Log().Has("RCPT Failed"));
  auto item = queue.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.recipient, "anna@x.test");
  EXPECT_EQ(item->header.sender, "bob@y.test");
  EXPECT_EQ(item->header.attempts, 0u);
  EXPECT_EQ(item->header.return_kind, kReturnUserNotFound);
  EXPECT_EQ(item->text, kText);

  // Due at once: the returned mail goes to the first sender with its banner.
  RecordingSmtpSink sink;
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  SinkMessage m = sink.Messages().at(0);
  EXPECT_EQ(m.rcpt_to, "RCPT TO:<anna@x.test>");
  EXPECT_EQ(m.mail_from, "MAIL FROM: <bob@y.test>");
  std::regex banner(
      "Message-ID: <[0-9]+[A-Y]{12}@tarnhold\\.invalid>\r\n"
      "To: anna@x\\.test\r\n"
      "From: bob@y\\.test\r\n"
      "Auto-Submitted: auto-replied\r\n"
      "Subject: Returned Mail- User Not Found\r\n"
      "\r\n"
      "========================\r\n"
      " Returned Mail Follows:\r\n"
      "========================\r\n"
      "Subject: hello\r\n\r\nline one\r\n\\.\\.dot line\r\n");
  EXPECT_TRUE(std::regex_match(m.data, banner)) << m.data;
}

// Neither returned mail nor mail from the null sender (a notice itself) is ever returned.
TEST(DeliveryGateway, ReturnedMailIsNeverReturnedAgain) {
  struct Case {
    std::uint32_t kind;
    const char* sender;
  } cases[] = {{kReturnDomainNotFound, "bob@y.test"},
               {kReturnUserNotFound, "bob@y.test"},
               {kReturnMaxRetries, "bob@y.test"},
               {kReturnNone, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    SendQueue queue;
    RecordingSmtpSink::Options refuse;
    refuse.rcpt_reply = "550 5.1.1 User unknown";
    RecordingSmtpSink refusing(refuse);
    std::uint32_t n = queue.Add("anna@x.test", c.sender, kText, 0, c.kind);
    EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", refusing.Port())),
              DeliveryOutcome::Finished);
    EXPECT_FALSE(queue.Item(n));
    EXPECT_TRUE(queue.Items().empty());
  }
}

TEST(DeliveryGateway, OtherFailuresLeaveTheItemUnchangedAndUncounted) {
  struct Case {
    const char* name;
    RecordingSmtpSink::Options options;
    const char* log;
  };
  auto with = [](auto set) {
    RecordingSmtpSink::Options o;
    set(o);
    return o;
  };
  const Case cases[] = {
      {"HELO", with([](auto& o) { o.helo_reply = "501 no"; }), "HELO Failed"},
      {"MAIL", with([](auto& o) { o.mail_reply = "451 later"; }), "MAIL Failed"},
      {"DATA", with([](auto& o) { o.data_reply = "554 no data"; }), "DATA Failed"},
      {"end of data", with([](auto& o) { o.end_reply = "452 full"; }), "Send Data Failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SendQueue queue;
    RecordingSmtpSink sink(c.options);
    std::uint32_t stamp = 1000;
    std::uint32_t n = queue.Add("bob@y.test", "anna@x.test", kText, 0, kReturnNone, stamp);
    EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
              DeliveryOutcome::Unchanged);
    EXPECT_TRUE(queue.Log().Has(c.log));
    auto item = queue.Item(n);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->header.stamp, stamp);
    EXPECT_EQ(item->header.attempts, 0u);
    EXPECT_EQ(item->header.return_kind, kReturnNone);
    EXPECT_EQ(item->text, kText);
  }
}

TEST(DeliveryGateway, UnreachableGatewayLogsTheAddress) {
  SendQueue queue;
  std::uint32_t n = queue.Add("bob@y.test", "anna@x.test", kText);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", test::UnusedLoopbackPort())),
            DeliveryOutcome::Unchanged);
  EXPECT_TRUE(queue.Log().Has("Connect Failed 127.0.0.1"));
  EXPECT_FALSE(queue.Log().Has("Connected"));
  ASSERT_TRUE(queue.Item(n));
  EXPECT_EQ(queue.Item(n)->header.attempts, 0u);
}

TEST(DeliveryGateway, MaxRetriesTurnsAnOrdinaryItemIntoReturnedMail) {
  SendQueue queue;
  queue.Settings().SetLimits(250, 25, 3, 0);
  std::uint32_t n = queue.Add("bob@y.test", "anna@x.test", kText, 3);
  RecordingSmtpSink sink;
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Requeued);
  EXPECT_EQ(test::From(queue.Log().Lines(), "Max retries reached"),
            std::vector<std::string>{"Max retries reached"});
  auto item = queue.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.recipient, "anna@x.test");
  EXPECT_EQ(item->header.sender, "bob@y.test");
  EXPECT_EQ(item->header.return_kind, kReturnMaxRetries);
  EXPECT_EQ(item->header.attempts, 0u);
  EXPECT_EQ(item->text, kText);
  EXPECT_EQ(sink.Connections(), 0);

  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  EXPECT_NE(sink.Messages().at(0).data.find(
                "Subject: Returned Mail- Max. Send Retries Reached\r\n\r\n"
                "========================\r\n Returned Mail Follows:\r\n"
                "========================\r\nSubject: hello\r\n"),
            std::string::npos);

  // Returned mail that reaches the limit is dropped.
  std::uint32_t returned = queue.Add("anna@x.test", "bob@y.test", kText, 3, kReturnMaxRetries);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  EXPECT_FALSE(queue.Item(returned));
}

TEST(DeliveryGateway, BlankRecipientGetsThePlaceholder) {
  SendQueue queue;
  RecordingSmtpSink sink;
  queue.Add("", "anna@x.test", kText);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("127.0.0.1", sink.Port())),
            DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  EXPECT_EQ(sink.Messages().at(0).rcpt_to,
            std::string("RCPT TO:<") + kBlankRecipientPlaceholder + ">");
  auto lines = queue.Log().Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "SMTPOUT To: From:anna@x.test");
  EXPECT_EQ(lines[1], "To was blank");
  EXPECT_EQ(lines[2], "Domain Name:tarnhold.invalid");
}

TEST(DeliveryGateway, LocalDomainsGoInboundOthersOutbound) {
  SendQueue queue;
  RecordingSmtpSink inbound, outbound;
  DeliveryConfig config = test::GatewayConfig("127.0.0.1", outbound.Port());
  config.inbound.port = static_cast<std::uint16_t>(inbound.Port());
  config.local_domains = {"corp.test"};
  queue.Add("clerk@CORP.test", "anna@x.test", kText);
  queue.Add("bob@y.test", "clerk@corp.test", kText);
  EXPECT_EQ(queue.DeliverNext(config), DeliveryOutcome::Finished);
  EXPECT_EQ(queue.DeliverNext(config), DeliveryOutcome::Finished);
  ASSERT_TRUE(inbound.WaitForMessages(1));
  ASSERT_TRUE(outbound.WaitForMessages(1));
  EXPECT_EQ(inbound.Messages().at(0).rcpt_to, "RCPT TO:<clerk@CORP.test>");
  EXPECT_EQ(outbound.Messages().at(0).rcpt_to, "RCPT TO:<bob@y.test>");
}

TEST(DeliveryGateway, EmptyGatewayAddressConnectsToTheRecipientDomain) {
  SendQueue queue;
  RecordingSmtpSink sink;
  queue.Add("bob@localhost", "anna@x.test", kText);
  EXPECT_EQ(queue.DeliverNext(test::GatewayConfig("", sink.Port())), DeliveryOutcome::Finished);
  ASSERT_TRUE(sink.WaitForMessages(1));
  EXPECT_TRUE(queue.Log().Has("Connecting to "));
}

TEST(DeliveryGateway, RoutingTableSendsMatchingMailToItsHost) {
  SendQueue queue;
  RecordingSmtpSink relay;
  const int closed = test::UnusedLoopbackPort();
  DeliveryConfig config = test::GatewayConfig("127.0.0.1", closed);
  config.routing_file = queue.Root().Write(
      "routes.txt", "; relays\r\n*@relay.test,127.0.0.1," + std::to_string(relay.Port()) + "\n");
  queue.Add("anna@relay.test", "bob@y.test", kText);
  EXPECT_EQ(queue.DeliverNext(config), DeliveryOutcome::Finished);
  ASSERT_TRUE(relay.WaitForMessages(1));
  auto lines = queue.Log().Lines();
  std::vector<std::string> head(lines.begin(), lines.begin() + 4);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "SMTPOUT To:anna@relay.test From:bob@y.test", "Domain Name:relay.test",
                      "routing table match: will route to 127.0.0.1 on port " +
                          std::to_string(relay.Port()),
                      "Connecting to 127.0.0.1"}));

  // A broken line disables the table for the item: the default gateway is used.
  queue.Log().Clear();
  config.routing_file = queue.Root().Write("routes.txt", "broken line\n");
  std::uint32_t n = queue.Add("anna@relay.test", "bob@y.test", kText);
  EXPECT_EQ(queue.DeliverNext(config), DeliveryOutcome::Unchanged);
  EXPECT_TRUE(queue.Log().Has("ERROR: cannot parse line:broken line, - check formatting, will "
                              "use default domain routing preferences"));
  EXPECT_TRUE(queue.Log().Has("Connect Failed 127.0.0.1"));
  EXPECT_TRUE(queue.Item(n));

  // A table that cannot be read says so and is passed over.
  queue.Log().Clear();
  config.routing_file = queue.Root() / "missing.txt";
  EXPECT_EQ(queue.DeliverNext(config), DeliveryOutcome::Unchanged);
  EXPECT_TRUE(queue.Log().Has("failed to load the routing table information from " +
                              config.routing_file.string()));
}

}  // namespace
}  // namespace tarnhold
