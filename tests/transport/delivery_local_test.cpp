// Local delivery into the mailboxes of the POP3 server.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/recording_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::SendQueue;

constexpr const char* kText = "Subject: hi\r\n\r\nbody\r\n.\r\n";

// Local domain corp.test with the POP3 server on; mailbox 0 (anna, default) and 1 (bert).
class LocalDelivery : public ::testing::Test {
 protected:
  LocalDelivery() {
    fs::create_directories(queue_.Root() / "popstore" / "1");
    queue_.Settings().BuildMailboxTable({{"anna", "pw", true}, {"bert", "pw", true}},
                                        {{"anna", "anna"}, {"bert", "bert"}, {"bert", "b.ert"}});
    queue_.Settings().SetDefaultMailbox(0);
    config_ = test::GatewayConfig("127.0.0.1", test::UnusedLoopbackPort());
    config_.local_domains = {"corp.test"};
    config_.pop3_server = true;
  }
  std::vector<std::uint32_t> Mailbox(int m) {
    return ListItemNumbers(queue_.Root() / "popstore" / std::to_string(m));
  }
  std::string Message(int m, std::uint32_t k) {
    return test::TempRoot::Read(queue_.Root() / "popstore" / std::to_string(m) /
                                std::to_string(k));
  }

  SendQueue queue_;
  DeliveryConfig config_;
};

TEST_F(LocalDelivery, StoresTheItemAsQueuedAndDeletesIt) {
  std::uint32_t n = queue_.Add("B.Ert@corp.test", "x@y.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_EQ(Mailbox(1), std::vector<std::uint32_t>{1});
  EXPECT_EQ(Message(1, 1), kText);
  EXPECT_TRUE(Mailbox(0).empty());
  EXPECT_FALSE(queue_.Item(n));
  EXPECT_EQ(queue_.Log().Lines(),
            (std::vector<std::string>{"SMTPOUT To:B.Ert@corp.test From:x@y.test",
                                      "Domain Name:corp.test",
                                      "... is for local POP3 delivery",
                                      "Message stored in local POP3 account"}));
}

TEST_F(LocalDelivery, UnknownNameGoesToTheDefaultMailboxAndNumbersFollowOn) {
  queue_.Root().Write("popstore/0/7", "older\r\n");
  queue_.Add("nobody@corp.test", "x@y.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  EXPECT_EQ(Mailbox(0), (std::vector<std::uint32_t>{7, 8}));
  EXPECT_EQ(Message(0, 8), kText);
}

TEST_F(LocalDelivery, StoredLocallyEvenWhenARouteMatches) {
  test::RecordingSmtpSink relay;
  config_.routing_file = queue_.Root().Write(
      "routes.txt", "*@corp.test,127.0.0.1," + std::to_string(relay.Port()) + "\n");
  queue_.Add("anna@corp.test", "x@y.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  EXPECT_EQ(Mailbox(0), std::vector<std::uint32_t>{1});
  EXPECT_TRUE(queue_.Log().Has("routing table match: will route to 127.0.0.1 on port " +
                               std::to_string(relay.Port())));
  EXPECT_TRUE(queue_.Log().Has("Message stored in local POP3 account"));
  EXPECT_EQ(relay.Connections(), 0);
}

TEST_F(LocalDelivery, ReturnedMailGetsTheBannerWithADate) {
  queue_.Add("anna@corp.test", "bob@far.test", kText, 0, kReturnMaxRetries);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_EQ(Mailbox(0), std::vector<std::uint32_t>{1});
  std::regex want(
      "Message-ID: <[0-9]+[A-Y]{12}@tarnhold\\.invalid>\r\n"
      "To: anna@corp\\.test\r\n"
      "From: bob@far\\.test\r\n"
      "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\r\n"
      "Auto-Submitted: auto-replied\r\n"
      "Subject: Returned Mail- Max\\. Send Retries Reached\r\n"
      "\r\n"
      "========================\r\n"
      " Returned Mail Follows:\r\n"
      "========================\r\n"
      "Subject: hi\r\n\r\nbody\r\n\\.\r\n");
  EXPECT_TRUE(std::regex_match(Message(0, 1), want)) << Message(0, 1);
}

TEST_F(LocalDelivery, MailboxThatCannotTakeTheMessageLeavesTheItem) {
  fs::remove_all(queue_.Root() / "popstore" / "1");
  queue_.Root().Write("popstore/1", "a file where the folder should be");
  std::uint32_t n = queue_.Add("bert@corp.test", "x@y.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Unchanged);
  EXPECT_TRUE(queue_.Log().Has("Error: CreateUserFile Failed"));
  EXPECT_TRUE(queue_.Log().Has("Error: SendMailLocal Failed"));
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->text, kText);
  EXPECT_EQ(item->header.attempts, 0u);
}

TEST_F(LocalDelivery, WithoutThePop3ServerLocalMailGoesToTheInboundGateway) {
  test::RecordingSmtpSink inbound;
  config_.pop3_server = false;
  config_.inbound = {"127.0.0.1", static_cast<std::uint16_t>(inbound.Port()), 0};
  queue_.Add("anna@corp.test", "x@y.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_TRUE(inbound.WaitForMessages(1));
  EXPECT_TRUE(Mailbox(0).empty());
}

}  // namespace
}  // namespace tarnhold
