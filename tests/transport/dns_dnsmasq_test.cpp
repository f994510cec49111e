// The resolver against a real DNS server: dnsmasq on a loopback address and port 53, the port
// the resolver always asks. Needs root to bind port 53; skips with the reason otherwise.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/temp_root.h"
#include "tests/transport/dnsmasq_server.h"
#include "transport/dns_client.h"
#include "transport/mx_lookup.h"

namespace tarnhold {
namespace {

using test::TempRoot;

std::vector<std::string> ExampleRecords() {
  std::vector<std::string> r{
      "--mx-host=example.test,first10.example.test,10",
      "--mx-host=example.test,mx5.example.test,5",
      "--mx-host=example.test,second10.example.test,10",
      "--host-record=first10.example.test,127.0.0.25",
      "--host-record=mx5.example.test,127.0.0.26",
      "--cname=alias.test,example.test",
  };
  for (int i = 1; i <= 40; ++i) {
    r.push_back("--mx-host=big.test,mx" + std::to_string(i) + ".big.test," + std::to_string(i));
  }
  return r;
}

class DnsmasqTest : public ::testing::Test {
 protected:
  // Each server has an address of its own, so tests running side by side do not collide.
  void Start() {
    std::string why;
    if (!server_.Start(ExampleRecords(), root_ / "dnsmasq.log", why)) GTEST_SKIP() << why;
    address_ = server_.Address();
  }

  TempRoot root_;
  test::DnsmasqServer server_;
  std::string address_;
};

struct Entry {
  std::string host, address;
  std::uint16_t preference;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> Drain(CMxLookup& lookup) {
  std::vector<Entry> out;
  lookup.Rewind();
  Entry e;
  while (lookup.NextMailExchanger(e.host, &e.address, e.preference) == 0) out.push_back(e);
  return out;
}

TEST_F(DnsmasqTest, ExchangersSortedWithEqualPreferencesInAnswerOrder) {
  Start();
  if (IsSkipped()) return;
  // The order the server gives the two exchangers of preference 10 in.
  CDnsClient client;
  ASSERT_EQ(client.Query(address_, "example.test", kDnsTypeAny), 0);
  EXPECT_TRUE(client.Authoritative());
  std::vector<std::string> tens;
  for (const DnsRecord& r : client.Records()) {
    if (r.type == kDnsTypeMx && r.preference == 10) tens.push_back(r.data);
  }
  ASSERT_EQ(tens.size(), 2u);
  auto address_of = [](const std::string& host) {
    return host == "first10.example.test" ? std::string("127.0.0.25") : std::string();
  };

  for (const char* recipient : {"user@example.test", "user@alias.test"}) {
    SCOPED_TRACE(recipient);
    CMxLookup lookup;
    lookup.SetAddDomain(true);
    lookup.AddNameServer(address_);
    ASSERT_EQ(lookup.Lookup("", recipient), 0);
    std::string domain = std::string(recipient).substr(5);
    std::vector<Entry> want{{"mx5.example.test", "127.0.0.26", 5},
                            {tens[0], address_of(tens[0]), 10},
                            {tens[1], address_of(tens[1]), 10},
                            {domain, "", 65535}};
    EXPECT_EQ(Drain(lookup), want);
  }
}

TEST_F(DnsmasqTest, LargeAnswerComesWholeOverTcp) {
  Start();
  if (IsSkipped()) return;
  CMxLookup lookup;
  ASSERT_EQ(lookup.Lookup(address_, "postmaster@big.test"), 0);
  std::vector<Entry> got = Drain(lookup);
  ASSERT_EQ(got.size(), 40u);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].preference, i + 1);

  // The same answer in one datagram is cut at the datagram size; what fits is read soundly.
  CDnsClient udp;
  udp.SetUseDatagram(true);
  ASSERT_EQ(udp.Query(address_, "big.test", kDnsTypeAny), 0);
  std::size_t exchangers = std::count_if(udp.Records().begin(), udp.Records().end(),
                                         [](const DnsRecord& r) { return r.type == kDnsTypeMx; });
  EXPECT_GT(exchangers, 0u);
  EXPECT_LT(exchangers, 40u);
}

TEST_F(DnsmasqTest, UnknownDomainIsNotFound) {
  Start();
  if (IsSkipped()) return;
  CMxLookup lookup;
  lookup.SetAddDomain(true);
  EXPECT_EQ(lookup.Lookup(address_, "user@nowhere.test"), 1);
  EXPECT_EQ(lookup.Count(), 1u);
}

}  // namespace
}  // namespace tarnhold
