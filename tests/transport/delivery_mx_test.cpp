// Delivery through the recipient domain's mail exchangers: dnsmasq answers for the domains,
// the exchangers are recording sinks on port 25 of their own loopback addresses. Needs root
// (ports 53 and 25); each test has its own addresses so that tests may run side by side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>

#include "platform/unique_fd.h"
#include "tests/support/recording_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"
#include "tests/transport/dnsmasq_server.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

using test::RecordingSmtpSink;
using test::SendQueue;

constexpr const char* kText = "Subject: far\r\n\r\nbody\r\n.\r\n";

bool Answers(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_aton(address.c_str(), &a.sin_addr);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// Domain mx.test has exchangers mx1 (preference 10, address .first) and mx2 (20, .second);
// back.test has one exchanger at .second; null.test a null MX "." (preference 5) before its
// exchanger at .second. Nothing listens until a test starts a sink.
class MxDelivery : public ::testing::Test {
 protected:
  void Start(int k) {
    dns_ = "127.0.5." + std::to_string(k);
    first_ = "127.0.6." + std::to_string(k);
    second_ = "127.0.7." + std::to_string(k);
    std::vector<std::string> records{
        "--mx-host=mx.test,mx1.mx.test,10",        "--mx-host=mx.test,mx2.mx.test,20",
        "--host-record=mx1.mx.test," + first_,     "--host-record=mx2.mx.test," + second_,
        "--mx-host=back.test,mx.back.test,10",     "--host-record=mx.back.test," + second_,
        "--mx-host=null.test,.,5",                 "--mx-host=null.test,mx.null.test,10",
        "--host-record=mx.null.test," + second_,
    };
    std::string why;
    if (!dnsmasq_.Start(dns_, records, queue_.Root() / "dnsmasq.log", why)) GTEST_SKIP() << why;
    // A program listening on port 25 of every address (a mail server, a gateway on its
    // default port) would take the mail meant for the exchangers here.
    for (const std::string& address : {first_, second_}) {
      if (Answers(address, 25)) {
        GTEST_SKIP() << "another program listens on port 25 of " << address;
      }
    }
    config_.outbound = {"", 25, 1};
    config_.dns_servers = {dns_};
    config_.helo_name = "gw.test";
  }
  // A sink on port 25 of `address`.
  std::unique_ptr<RecordingSmtpSink> Sink(const std::string& address,
                                          const std::string& rcpt_reply = "250 2.1.5 Ok") {
    RecordingSmtpSink::Options o;
    o.address = address;
    o.port = 25;
    o.rcpt_reply = rcpt_reply;
    auto sink = std::make_unique<RecordingSmtpSink>(o);
    EXPECT_TRUE(sink->Listening()) << sink->Error();
    return sink;
  }

  SendQueue queue_;
  test::DnsmasqServer dnsmasq_;
  DeliveryConfig config_;
  std::string dns_, first_, second_;
};

TEST_F(MxDelivery, ExchangersTriedInPreferenceOrderOnPort25) {
  Start(1);
  if (IsSkipped()) return;
  auto second = Sink(second_);
  std::uint32_t n = queue_.Add("carl@mx.test", "anna@x.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_TRUE(second->WaitForMessages(1));
  EXPECT_EQ(second->Messages().at(0).rcpt_to, "RCPT TO:<carl@mx.test>");
  EXPECT_FALSE(queue_.Item(n));
  auto lines = queue_.Log().Lines();
  std::vector<std::string> head(lines.begin(), lines.begin() + 8);
  EXPECT_EQ(head, (std::vector<std::string>{"SMTPOUT To:carl@mx.test From:anna@x.test",
                                            "Domain Name:mx.test",
                                            "Authoritative Lookup worked mx.test",
                                            "MX Record found mx.test",
                                            "Trying " + first_,
                                            "Connect Failed " + first_,
                                            "Trying " + second_,
                                            "Connected"}));
}

TEST_F(MxDelivery, EachExchangerThatCannotBeTakenIsLoggedUntilOneIs) {
  Start(6);
  if (IsSkipped()) return;
  auto second = Sink(second_);
  queue_.Add("carl@null.test", "anna@x.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_TRUE(second->WaitForMessages(1));
  auto lines = queue_.Log().Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.begin() + 5),
            (std::vector<std::string>{"Authoritative Lookup worked null.test",
                                      "MX Record not found, trying directly null.test",
                                      "MX Record found null.test"}));
}

TEST_F(MxDelivery, FailedPassesAreCountedThenTheMailReturnsToItsSender) {
  Start(2);
  if (IsSkipped()) return;
  queue_.Settings().SetLimits(250, 25, 3, 0);  // due again at once
  std::uint32_t n = queue_.Add("carl@mx.test", "anna@back.test", kText);
  for (std::uint32_t pass = 1; pass <= 3; ++pass) {
    SCOPED_TRACE(pass);
    EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Requeued);
    EXPECT_TRUE(queue_.Log().Has("Retrying Mail " + std::to_string(pass)));
    auto item = queue_.Item(n);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->header.attempts, pass);
    EXPECT_EQ(item->header.return_kind, kReturnNone);
  }
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Requeued);
  EXPECT_TRUE(queue_.Log().Has("Max retries reached"));
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.recipient, "anna@back.test");
  EXPECT_EQ(item->header.return_kind, kReturnMaxRetries);
  EXPECT_EQ(item->header.attempts, 0u);

  auto back = Sink(second_);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Finished);
  ASSERT_TRUE(back->WaitForMessages(1));
  const std::string data = back->Messages().at(0).data;
  EXPECT_NE(data.find("To: anna@back.test\r\nFrom: carl@mx.test\r\n"
                      "Auto-Submitted: auto-replied\r\n"
                      "Subject: Returned Mail- Max. Send Retries Reached\r\n\r\n"
                      "========================\r\n Returned Mail Follows:\r\n"
                      "========================\r\nSubject: far\r\n\r\nbody\r\n"),
            std::string::npos)
      << data;
}

TEST_F(MxDelivery, RetryWaitsForTheIntervalAfterAFailedPass) {
  Start(3);
  if (IsSkipped()) return;
  queue_.Settings().SetLimits(250, 25, 5, 300);
  queue_.Add("carl@mx.test", "anna@back.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Requeued);
  EXPECT_FALSE(queue_.Settings().NextSendItem().IsOpen());  // not due for 300 s
}

TEST_F(MxDelivery, RefusedRecipientReturnsAtOnceWithoutTryingFurtherExchangers) {
  Start(4);
  if (IsSkipped()) return;
  auto first = Sink(first_, "550 5.1.1 User unknown");
  auto second = Sink(second_);
  std::uint32_t n = queue_.Add("carl@mx.test", "anna@back.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Requeued);
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.return_kind, kReturnUserNotFound);
  EXPECT_EQ(item->header.recipient, "anna@back.test");
  EXPECT_EQ(second->Connections(), 0);
  EXPECT_FALSE(queue_.Log().Has("Trying " + second_));
}

TEST_F(MxDelivery, UnknownDomainIsTriedDirectlyAndCounted) {
  Start(5);
  if (IsSkipped()) return;
  std::uint32_t n = queue_.Add("carl@nowhere.test", "anna@back.test", kText);
  EXPECT_EQ(queue_.DeliverNext(config_), DeliveryOutcome::Requeued);
  EXPECT_TRUE(queue_.Log().Has("Authoritative Lookup failed, trying directly nowhere.test"));
  EXPECT_TRUE(queue_.Log().Has("Retrying Mail 1"));
  ASSERT_TRUE(queue_.Item(n));
  EXPECT_EQ(queue_.Item(n)->header.attempts, 1u);
}

}  // namespace
}  // namespace tarnhold
