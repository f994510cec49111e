// Delivery against a real SMTP server: Postfix's smtp-sink, accepting, or refusing recipients.
#include <gtest/gtest.h>

#include "tests/support/postfix_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

using test::PostfixSmtpSink;
using test::SendQueue;

constexpr const char* kText = "Subject: real\r\n\r\n..leading dot\r\nlast line\r\n.\r\n";

class PostfixSinkDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = test::FindPostfixSmtpSink();
    if (program_.empty()) GTEST_SKIP() << "smtp-sink (package postfix) is not installed";
  }
  std::string program_;
  SendQueue queue_;
};

TEST_F(PostfixSinkDelivery, MessageArrivesAsQueued) {
  PostfixSmtpSink sink(program_, queue_.Root() / "dumps", {});
  ASSERT_TRUE(sink.Ready());
  queue_.Add("bob@y.test", "anna@x.test", kText);
  EXPECT_EQ(queue_.DeliverNext(test::GatewayConfig(sink.Address(), sink.Port())),
            DeliveryOutcome::Finished);
  auto dumps = sink.WaitForDumps(1);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_NE(dumps[0].find("X-Helo-Args: gw.test"), std::string::npos) << dumps[0];
  EXPECT_NE(dumps[0].find("X-Rcpt-Args: <bob@y.test>"), std::string::npos) << dumps[0];
  // The item holds the text as it came over SMTP: the sink takes the doubled dot out again.
  EXPECT_NE(dumps[0].find("Subject: real\n\n.leading dot\nlast line\n"), std::string::npos)
      << dumps[0];
  EXPECT_TRUE(queue_.Items().empty());
  EXPECT_TRUE(queue_.Log().Has("Mail sent"));
}

TEST_F(PostfixSinkDelivery, RefusedRecipientReturnsTheMail) {
  PostfixSmtpSink refusing(program_, queue_.Root() / "refused",
                           {"-f", "RCPT", "-B", "550 5.1.1 User unknown"});
  ASSERT_TRUE(refusing.Ready());
  std::uint32_t n = queue_.Add("bob@y.test", "anna@x.test", kText);
  EXPECT_EQ(queue_.DeliverNext(test::GatewayConfig(refusing.Address(), refusing.Port())),
            DeliveryOutcome::Requeued);
  EXPECT_TRUE(queue_.Log().Has("550 5.1.1 User unknown"));
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.return_kind, kReturnUserNotFound);
  EXPECT_EQ(item->header.recipient, "anna@x.test");

  PostfixSmtpSink sink(program_, queue_.Root() / "dumps", {});
  ASSERT_TRUE(sink.Ready());
  EXPECT_EQ(queue_.DeliverNext(test::GatewayConfig(sink.Address(), sink.Port())),
            DeliveryOutcome::Finished);
  auto dumps = sink.WaitForDumps(1);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_NE(dumps[0].find("Subject: Returned Mail- User Not Found\n\n"
                          "========================\n Returned Mail Follows:\n"
                          "========================\nSubject: real\n"),
            std::string::npos)
      << dumps[0];
}

}  // namespace
}  // namespace tarnhold
