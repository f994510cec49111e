#include "transport/dns_client.h"

#include <gtest/gtest.h>

#include "tests/transport/dns_test_peer.h"

namespace tarnhold {
namespace {

using namespace test;

Sections ExampleAnswer() {
  Sections s;
  s.answer = {Mx("example.test", 10, "mx1.example.test"), Mx("example.test", 20, "mx2.example.test")};
  s.authority = {Ns("example.test", "ns.example.test")};
  s.additional = {A("mx2.example.test", "127.0.0.26"), A("ns.example.test", "127.0.0.53")};
  return s;
}

DnsPeer::Reply Answer(const DnsPeer::Query& q, const Sections& s) {
  return {{BuildAnswer(q.bytes, s)}, {}};
}

TEST(DnsClient, TcpQueryIsPrefixedAndCarriesAFreshIdentifier) {
  DnsPeer peer({"127.0.0.1"}, [](const DnsPeer::Query& q) { return Answer(q, ExampleAnswer()); });
  CDnsClient client;
  client.SetServerPort(peer.Port());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client.Query("127.0.0.1", "example.test", 255), 0);

  std::vector<DnsPeer::Query> asked = peer.Queries();
  ASSERT_EQ(asked.size(), 3u);
  for (const auto& q : asked) {
    EXPECT_EQ(q.protocol, DnsProtocol::Tcp);
    DnsBytes want;
    ASSERT_TRUE(BuildDnsQuery(0, "example.test", 255, want));
    // Everything but the identifier is the fixed layout.
    EXPECT_TRUE(std::equal(want.begin() + 2, want.end(), q.bytes.begin() + 2, q.bytes.end()));
  }
  bool all_same = asked[0].bytes[0] == asked[1].bytes[0] && asked[1].bytes[0] == asked[2].bytes[0] &&
                  asked[0].bytes[1] == asked[1].bytes[1] && asked[1].bytes[1] == asked[2].bytes[1];
  EXPECT_FALSE(all_same) << "three queries with one identifier";
}

TEST(DnsClient, WalksRecordsByTypeWithAddresses) {
  DnsPeer peer({"127.0.0.1"}, [](const DnsPeer::Query& q) { return Answer(q, ExampleAnswer()); });
  CDnsClient client;
  client.SetServerPort(peer.Port());
  client.SetUseDatagram(true);
  ASSERT_EQ(client.Query("127.0.0.1", "example.test", 255), 0);
  EXPECT_TRUE(client.Authoritative());
  EXPECT_EQ(peer.Queries().at(0).protocol, DnsProtocol::Udp);

  std::string data, address = "junk";
  ASSERT_EQ(client.NextMailExchanger(data, &address), 0);
  EXPECT_EQ(data, "mx1.example.test");
  EXPECT_EQ(address, "");
  ASSERT_EQ(client.NextMailExchanger(data, &address), 0);
  EXPECT_EQ(data, "mx2.example.test");
  EXPECT_EQ(address, "127.0.0.26");
  EXPECT_EQ(client.NextMailExchanger(data, nullptr), 1);
  // The cursor is past the exchangers; rewinding finds the name server from the start.
  client.Rewind();
  ASSERT_EQ(client.NextNameServer(data, &address), 0);
  EXPECT_EQ(data, "ns.example.test");
  EXPECT_EQ(address, "127.0.0.53");
  DnsRecord record;
  ASSERT_EQ(client.CopyNextRecord(record), 0);
  EXPECT_EQ(record.data, "127.0.0.26");
}

TEST(DnsClient, SpoofedAnswersAreIgnored) {
  // Before the true answer: another identifier, another question, and the right answer sent
  // from another address. Only the true one (pointing at mx.true.test) may be taken.
  DnsPeer peer({"127.0.0.1"}, [](const DnsPeer::Query& q) {
    Sections forged;
    forged.answer = {Mx("example.test", 1, "mx.forged.test")};
    DnsBytes wrong_id = BuildAnswer(q.bytes, forged);
    wrong_id[0] ^= 0x55;
    DnsBytes other_question;
    EXPECT_TRUE(BuildDnsQuery(0, "example.tesu", 255, other_question));
    other_question[0] = q.bytes[0];
    other_question[1] = q.bytes[1];
    other_question = BuildAnswer(other_question, forged);
    Sections truth;
    truth.answer = {Mx("example.test", 10, "mx.true.test")};
    return DnsPeer::Reply{{wrong_id, other_question, BuildAnswer(q.bytes, truth)},
                          {BuildAnswer(q.bytes, forged)}};
  });
  for (bool datagram : {true, false}) {
    SCOPED_TRACE(datagram ? "udp" : "tcp");
    CDnsClient client;
    client.SetServerPort(peer.Port());
    client.SetUseDatagram(datagram);
    client.SetTimeoutSeconds(2);
    int rc = client.Query("127.0.0.1", "example.test", 255);
    std::string data;
    if (datagram) {
      ASSERT_EQ(rc, 0);
      ASSERT_EQ(client.NextMailExchanger(data, nullptr), 0);
      EXPECT_EQ(data, "mx.true.test");
    } else {
      // Over TCP the first framed answer is the one read; it does not match, so nothing is.
      EXPECT_EQ(rc, CDnsClient::kEmptyAnswer);
      EXPECT_EQ(client.NextMailExchanger(data, nullptr), 1);
    }
  }
}

TEST(DnsClient, FailuresGiveTheirCodes) {
  DnsPeer silent({"127.0.0.1"}, [](const DnsPeer::Query&) { return DnsPeer::Reply{}; });
  struct Case {
    const char* what;
    std::string server, name;
    bool datagram;
    int want;
  } cases[] = {
      {"empty server", "", "example.test", false, CDnsClient::kBadRequest},
      {"empty name", "127.0.0.1", "", false, CDnsClient::kBadRequest},
      {"name without wire form", "127.0.0.1", "a..test", false, CDnsClient::kBadRequest},
      {"tcp closed without length", "127.0.0.1", "example.test", false, CDnsClient::kNoLengthPrefix},
      {"udp silence", "127.0.0.1", "example.test", true, CDnsClient::kEmptyAnswer},
      {"nobody listening", "127.0.0.3", "example.test", false, kWsConnectFailed},
      {"unknown server name", "no-such-host.invalid", "example.test", false,
       kWsHostUnresolved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CDnsClient client;
    client.SetServerPort(silent.Port());
    client.SetUseDatagram(c.datagram);
    client.SetTimeoutSeconds(1);
    EXPECT_EQ(client.Query(c.server, c.name, 255), c.want);
    EXPECT_TRUE(client.Records().empty());
    EXPECT_FALSE(client.Authoritative());
  }
}

}  // namespace
}  // namespace tarnhold
