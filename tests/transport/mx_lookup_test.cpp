#include "transport/mx_lookup.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/transport/dns_test_peer.h"

namespace tarnhold {
namespace {

using namespace test;

struct Entry {
  std::string host, address;
  std::uint16_t preference;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << e.host << "/" << e.address << "/" << e.preference;
}

std::vector<Entry> Drain(CMxLookup& lookup) {
  std::vector<Entry> out;
  lookup.Rewind();
  Entry e;
  while (lookup.NextMailExchanger(e.host, &e.address, e.preference) == 0) out.push_back(e);
  return out;
}

// A peer whose answers are looked up by (server address, name); anything else is silence.
using Script = std::map<std::pair<std::string, std::string>, Sections>;

DnsPeer::Responder Scripted(Script script) {
  return [script](const DnsPeer::Query& q) {
    auto it = script.find({q.server, q.name});
    if (it == script.end()) return DnsPeer::Reply{};
    return DnsPeer::Reply{{BuildAnswer(q.bytes, it->second)}, {}};
  };
}

void Prepare(CMxLookup& lookup, const DnsPeer& peer) {
  lookup.SetServerPort(peer.Port());
  lookup.SetTimeoutSeconds(1);
}

TEST(MxLookup, SortedByPreferenceEqualOnesInAnswerOrder) {
  Sections s;
  s.answer = {Mx("example.test", 10, "first10.example.test"),
              Mx("example.test", 10, "second10.example.test"), Mx("example.test", 5, "five.example.test")};
  s.additional = {A("five.example.test", "127.0.0.25"), A("first10.example.test", "127.0.0.26"),
                  A("second10.example.test", "127.0.0.27")};
  DnsPeer peer({"127.0.0.1"}, Scripted({{{"127.0.0.1", "example.test"}, s}}));
  CMxLookup lookup;
  Prepare(lookup, peer);
  lookup.SetAddDomain(true);
  ASSERT_EQ(lookup.Lookup("127.0.0.1", "someone@example.test"), 0);
  EXPECT_EQ(lookup.Count(), 4u);
  std::vector<Entry> want{{"five.example.test", "127.0.0.25", 5},
                          {"first10.example.test", "127.0.0.26", 10},
                          {"second10.example.test", "127.0.0.27", 10},
                          {"example.test", "", 65535}};
  // The domain's own entry resolves through the system resolver; .test names do not exist.
  EXPECT_EQ(Drain(lookup), want);
  // One answer over TCP was enough.
  EXPECT_EQ(peer.Queries().size(), 1u);
  EXPECT_EQ(peer.Queries()[0].protocol, DnsProtocol::Tcp);
}

TEST(MxLookup, AddressMissingFromTheAnswerIsResolvedWhenTaken) {
  Sections s;
  s.answer = {Mx("example.test", 10, "localhost"), Mx("example.test", 20, "mx.example.test")};
  s.additional = {A("mx.example.test", "127.0.0.25"), A("mx.example.test", "127.0.0.35")};
  DnsPeer peer({"127.0.0.1"}, Scripted({{{"127.0.0.1", "example.test"}, s}}));
  CMxLookup lookup;
  Prepare(lookup, peer);
  ASSERT_EQ(lookup.Lookup("", " user@example.test "), 1) << "no first server, no name servers";
  lookup.AddNameServer("127.0.0.1");
  ASSERT_EQ(lookup.Lookup("", " user@example.test "), 0);
  // Two address records for one exchanger give two entries.
  std::vector<Entry> want{{"localhost", "127.0.0.1", 10},
                          {"mx.example.test", "127.0.0.25", 20},
                          {"mx.example.test", "127.0.0.35", 20}};
  EXPECT_EQ(Drain(lookup), want);
  // Without an address buffer nothing is resolved, and the name still comes.
  lookup.Rewind();
  std::string name;
  std::uint16_t preference = 0;
  ASSERT_EQ(lookup.NextMailExchanger(name, nullptr, preference), 0);
  EXPECT_EQ(name, "localhost");
}

TEST(MxLookup, ReferralsAreFollowedAndNoServerIsAskedTwice) {
  Sections root;  // not authoritative: a referral to .3 (by its address) and .4 (by name)
  root.authoritative = false;
  root.authority = {Ns("test", "ns3.test"), Ns("test", "127.0.0.4")};
  root.additional = {A("ns3.test", "127.0.0.3")};
  Sections back;  // .3 refers back to itself and to .4; it knows nothing itself
  back.authoritative = false;
  back.authority = {Ns("example.test", "127.0.0.3"), Ns("example.test", "127.0.0.4")};
  Sections final_answer;
  final_answer.answer = {Mx("example.test", 10, "mx.example.test")};
  final_answer.additional = {A("mx.example.test", "127.0.0.25")};
  DnsPeer peer({"127.0.0.1", "127.0.0.3", "127.0.0.4"},
               Scripted({{{"127.0.0.1", "example.test"}, root},
                         {{"127.0.0.3", "example.test"}, back},
                         {{"127.0.0.4", "example.test"}, final_answer}}));
  CMxLookup lookup;
  Prepare(lookup, peer);
  ASSERT_EQ(lookup.Lookup("127.0.0.1", "example.test"), 0);
  EXPECT_EQ(Drain(lookup), (std::vector<Entry>{{"mx.example.test", "127.0.0.25", 10}}));
  EXPECT_EQ(peer.ServersAsked(),
            (std::vector<std::string>{"127.0.0.1", "127.0.0.3", "127.0.0.4"}));
}

TEST(MxLookup, ReferralChainStopsAtItsDepth) {
  // Every server refers to the next address: .10 -> .11 -> .12 -> ...
  Script script;
  for (int i = 10; i < 20; ++i) {
    Sections s;
    s.authoritative = false;
    s.authority = {Ns("test", "127.0.0." + std::to_string(i + 1))};
    script[{"127.0.0." + std::to_string(i), "example.test"}] = s;
  }
  std::vector<std::string> addresses;
  for (int i = 10; i < 20; ++i) addresses.push_back("127.0.0." + std::to_string(i));
  DnsPeer peer(addresses, Scripted(script));
  CMxLookup lookup;
  Prepare(lookup, peer);
  EXPECT_EQ(lookup.Lookup("127.0.0.10", "example.test"), 1);
  EXPECT_EQ(peer.ServersAsked(), (std::vector<std::string>{"127.0.0.10", "127.0.0.11", "127.0.0.12",
                                                           "127.0.0.13", "127.0.0.14"}));
}

TEST(MxLookup, CanonicalNamesAreFollowedOnTheSameServer) {
  Sections alias;
  alias.answer = {Cname("other.test", "elsewhere.test"), Cname("alias.test", "target.test")};
  alias.authority = {Soa("test")};
  alias.authoritative = false;  // the SOA alone makes it final
  Sections target;
  target.answer = {Mx("target.test", 10, "mx.target.test")};
  DnsPeer peer({"127.0.0.1"}, Scripted({{{"127.0.0.1", "alias.test"}, alias},
                                         {{"127.0.0.1", "target.test"}, target}}));
  CMxLookup lookup;
  Prepare(lookup, peer);
  ASSERT_EQ(lookup.Lookup("127.0.0.1", "x@alias.test"), 0);
  ASSERT_EQ(lookup.Count(), 1u);
  std::string name;
  std::uint16_t preference = 0;
  ASSERT_EQ(lookup.NextMailExchanger(name, nullptr, preference), 0);
  EXPECT_EQ(name, "mx.target.test");
  std::vector<std::string> names;
  for (const auto& q : peer.Queries()) names.push_back(q.name);
  EXPECT_EQ(names, (std::vector<std::string>{"alias.test", "target.test"}));
}

TEST(MxLookup, CanonicalNameLoopEndsAtItsDepth) {
  Sections loop;
  loop.answer = {Cname("loop.test", "loop.test")};
  DnsPeer peer({"127.0.0.1"}, Scripted({{{"127.0.0.1", "loop.test"}, loop}}));
  CMxLookup lookup;
  Prepare(lookup, peer);
  EXPECT_EQ(lookup.Lookup("127.0.0.1", "loop.test"), 1);
  EXPECT_EQ(peer.Queries().size(), 4u);  // the name itself and three levels
}

TEST(MxLookup, TcpFirstThenThreeDatagramsThenTheNameServers) {
  Sections s;
  s.answer = {Mx("example.test", 10, "mx.example.test")};
  // .1 never answers; .3 answers over UDP only (its TCP closes at once).
  DnsPeer peer({"127.0.0.1", "127.0.0.3"}, [s](const DnsPeer::Query& q) {
    if (q.server == "127.0.0.3" && q.protocol == DnsProtocol::Udp) {
      return DnsPeer::Reply{{BuildAnswer(q.bytes, s)}, {}};
    }
    return DnsPeer::Reply{};
  });
  CMxLookup lookup;
  Prepare(lookup, peer);
  lookup.AddNameServer("127.0.0.3");
  lookup.SetAddDomain(true);
  ASSERT_EQ(lookup.Lookup("127.0.0.1", "example.test"), 0);
  EXPECT_EQ(lookup.Count(), 2u);
  std::vector<std::pair<std::string, DnsProtocol>> asked;
  for (const auto& q : peer.Queries()) asked.emplace_back(q.server, q.protocol);
  using P = DnsProtocol;
  EXPECT_EQ(asked, (std::vector<std::pair<std::string, DnsProtocol>>{{"127.0.0.1", P::Tcp},
                                                                     {"127.0.0.1", P::Udp},
                                                                     {"127.0.0.1", P::Udp},
                                                                     {"127.0.0.1", P::Udp},
                                                                     {"127.0.0.3", P::Tcp},
                                                                     {"127.0.0.3", P::Udp}}));
}

TEST(MxLookup, NotFoundStillListsTheDomainWhenAsked) {
  Sections nothing;  // authoritative, no exchanger, no canonical name
  nothing.authority = {Soa("test")};
  DnsPeer peer({"127.0.0.1"}, Scripted({{{"127.0.0.1", "example.test"}, nothing}}));
  for (bool add_domain : {false, true}) {
    SCOPED_TRACE(add_domain);
    CMxLookup lookup;
    Prepare(lookup, peer);
    lookup.SetAddDomain(add_domain);
    EXPECT_EQ(lookup.Lookup("127.0.0.1", "a@example.test"), 1);
    EXPECT_EQ(lookup.Count(), add_domain ? 1u : 0u);
  }
}

TEST(MxLookup, WideReferralsAreBoundedPerLookup) {
  // A referral naming 30 servers, each of which knows nothing: only the first ones are asked.
  Sections wide, empty;
  wide.authoritative = empty.authoritative = false;
  Script script;
  std::vector<std::string> addresses{"127.0.0.1"};
  for (int i = 0; i < 30; ++i) {
    std::string address = "127.0.1." + std::to_string(i);
    wide.authority.push_back(Ns("test", address));
    addresses.push_back(address);
    script[{address, "example.test"}] = empty;
  }
  script[{"127.0.0.1", "example.test"}] = wide;
  DnsPeer peer(addresses, Scripted(script));
  CMxLookup lookup;
  Prepare(lookup, peer);
  EXPECT_EQ(lookup.Lookup("127.0.0.1", "example.test"), 1);
  EXPECT_EQ(peer.Queries().size(), static_cast<std::size_t>(CMxLookup::kMaxServersPerLookup));
}

}  // namespace
}  // namespace tarnhold
