#include "transport/dns_message.h"

#include <gtest/gtest.h>

#include "tests/transport/dns_test_peer.h"

namespace tarnhold {
namespace {

using namespace test;

DnsBytes Query(std::string_view name, std::uint16_t id = 0x1234) {
  DnsBytes q;
  EXPECT_TRUE(BuildDnsQuery(id, name, kDnsTypeAny, q));
  return q;
}

TEST(DnsQuery, LayoutByteForByte) {
  const std::string name = "mail.example-20.test";  // 20 characters
  ASSERT_EQ(name.size(), 20u);
  DnsBytes q = Query(name, 0x8639);
  DnsBytes want{0x86, 0x39, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  Append(want, Labels(name));
  Append(want, {0x00, 0xff, 0x00, 0x01});
  EXPECT_EQ(q, want);
  EXPECT_EQ(q.size(), 38u);

  DnsBytes framed = FrameDnsTcp(q);
  ASSERT_EQ(framed.size(), 40u);
  EXPECT_EQ(framed[0], 0x00);
  EXPECT_EQ(framed[1], 0x26);
  EXPECT_TRUE(std::equal(q.begin(), q.end(), framed.begin() + 2));
}

TEST(DnsQuery, LengthPrefixCarriesBothBytes) {
  // A name near the 255-byte limit makes a message over 255 bytes; its length needs the
  // high byte too.
  std::string name = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                     std::string(63, 'c') + "." + std::string(61, 'd');
  DnsBytes q = Query(name);
  ASSERT_EQ(q.size(), name.size() + 18);
  DnsBytes framed = FrameDnsTcp(q);
  EXPECT_EQ((framed[0] << 8) | framed[1], static_cast<int>(q.size()));
  EXPECT_EQ(framed[0], 0x01);
}

TEST(DnsQuery, NamesWithoutWireFormAreRefused) {
  struct Case {
    std::string name;
    bool ok;
  } cases[] = {
      {"example.test", true},
      {"example.test.", true},
      {"x", true},
      {"", false},
      {".", false},
      {"a..b", false},
      {".a", false},
      {std::string(63, 'a') + ".test", true},
      {std::string(64, 'a') + ".test", false},
      {std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(62, 'd'),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DnsBytes q{1, 2, 3};
    EXPECT_EQ(BuildDnsQuery(1, c.name, kDnsTypeMx, q), c.ok);
    if (!c.ok) {
      EXPECT_EQ(q, (DnsBytes{1, 2, 3}));
    }
  }
}

TEST(DnsAnswerMatch, OnlyTheAnswerToThisQuery) {
  DnsBytes query = Query("example.test", 0xbeef);
  const std::size_t end = query.size();
  DnsBytes good = BuildAnswer(query, {{Mx("example.test", 10, "mx.example.test")}});
  EXPECT_TRUE(DnsAnswerMatches(good, query));

  struct Case {
    const char* what;
    std::function<void(DnsBytes&)> change;
    bool want;
  } cases[] = {
      {"other identifier", [](DnsBytes& a) { a[1] ^= 1; }, false},
      {"response bit clear", [](DnsBytes& a) { a[2] &= 0x7f; }, false},
      {"two questions", [](DnsBytes& a) { a[5] = 2; }, false},
      {"other name", [](DnsBytes& a) { a[13] = 'E' + 1; }, false},
      {"other type", [end](DnsBytes& a) { a[end - 3] = kDnsTypeMx; }, false},
      {"other class", [end](DnsBytes& a) { a[end - 1] = 3; }, false},
      {"letter case of the name", [](DnsBytes& a) { a[13] = 'E'; }, true},
      {"cut inside the question", [](DnsBytes& a) { a.resize(20); }, false},
      {"response code set", [](DnsBytes& a) { a[3] |= 3; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DnsBytes a = good;
    c.change(a);
    EXPECT_EQ(DnsAnswerMatches(a, query), c.want);
  }
}

TEST(DnsAnswerParse, EveryRecordKind) {
  DnsBytes query = Query("example.test");
  DnsBytes hinfo{3, 'P', 'C', '1', 5, 'L', 'i', 'n', 'u', 'x'};
  DnsBytes minfo = Labels("admin.example.test");
  Append(minfo, Labels("errors.example.test"));
  Sections s;
  s.answer = {Mx("example.test", 10, "mx.example.test"), A("mx.example.test", "192.0.2.25"),
              Cname("www.example.test", "example.test"),
              {"host.example.test", kDnsTypeHinfo, hinfo},
              {"example.test", kDnsTypeMinfo, minfo},
              {"25.2.0.192.in-addr.arpa", kDnsTypePtr, Labels("mx.example.test")}};
  s.authority = {Ns("example.test", "ns1.example.test"), Soa("example.test")};
  s.additional = {A("ns1.example.test", "192.0.2.53")};
  DnsAnswer got = ParseDnsAnswer(BuildAnswer(query, s), query.size());

  EXPECT_TRUE(got.authoritative);
  ASSERT_EQ(got.records.size(), 9u);
  const auto& r = got.records;
  EXPECT_EQ(r[0].owner, "example.test");
  EXPECT_EQ(r[0].type, kDnsTypeMx);
  EXPECT_EQ(r[0].preference, 10);
  EXPECT_EQ(r[0].ttl, 60u);
  EXPECT_EQ(r[0].data, "mx.example.test");
  EXPECT_EQ(r[1].data, "192.0.2.25");
  EXPECT_EQ(r[1].preference, 0);
  EXPECT_EQ(r[2].data, "example.test");
  EXPECT_EQ(r[3].data, "PC1");
  EXPECT_EQ(r[3].data2, "Linux");
  EXPECT_EQ(r[4].data, "admin.example.test");
  EXPECT_EQ(r[4].data2, "errors.example.test");
  EXPECT_EQ(r[5].data, "mx.example.test");
  EXPECT_EQ(r[6].type, kDnsTypeNs);
  EXPECT_EQ(r[6].data, "ns1.example.test");
  EXPECT_EQ(r[7].type, kDnsTypeSoa);
  EXPECT_EQ(r[7].data, "ns.example.test");
  EXPECT_EQ(r[7].data2, "hostmaster.example.test");
  EXPECT_EQ(r[7].soa, (std::array<std::uint32_t, 5>{1, 2, 3, 4, 5}));
  EXPECT_EQ(r[8].owner, "ns1.example.test");
  EXPECT_EQ(r[8].data, "192.0.2.53");
}

// The header and question of an answer to `query` announcing `count` answer records.
DnsBytes Head(const DnsBytes& query, std::uint16_t count) {
  DnsBytes a{query[0], query[1], 0x85, 0x80, 0, 1};
  Append(a, U16(count));
  Append(a, {0, 0, 0, 0});
  a.insert(a.end(), query.begin() + kDnsHeaderSize, query.end());
  return a;
}

TEST(DnsAnswerParse, CompressionPointersContinueAfterThePointer) {
  DnsBytes query = Query("example.test");
  DnsBytes a = Head(query, 2);
  // Owner: a pointer to the question's name (offset 12). Data: "mx" then a pointer to it.
  Append(a, {0xc0, 12});
  Append(a, U16(kDnsTypeMx));
  Append(a, {0, 1, 0, 0, 0, 60});
  Append(a, U16(2 + 3 + 2));
  Append(a, U16(5));
  Append(a, {2, 'm', 'x', 0xc0, 12});
  // The record after it starts right after the pointer: "mx" + pointer again for its owner.
  std::size_t mx_name = a.size() - 5;
  Append(a, {0xc0, static_cast<std::uint8_t>(mx_name)});
  Append(a, U16(kDnsTypeA));
  Append(a, {0, 1, 0, 0, 0, 60, 0, 4, 10, 0, 0, 7});

  DnsAnswer got = ParseDnsAnswer(a, query.size());
  ASSERT_EQ(got.records.size(), 2u);
  EXPECT_EQ(got.records[0].owner, "example.test");
  EXPECT_EQ(got.records[0].data, "mx.example.test");
  EXPECT_EQ(got.records[1].owner, "mx.example.test");
  EXPECT_EQ(got.records[1].data, "10.0.0.7");
}

TEST(DnsAnswerParse, HostileAnswersGiveBoundedResults) {
  DnsBytes query = Query("example.test");
  // A valid first record, then the hostile part.
  auto with_first = [&](std::uint16_t count) {
    DnsBytes a = Head(query, count);
    Append(a, Record(A("ok.example.test", "10.0.0.1")));
    return a;
  };
  auto record_with_owner = [](DnsBytes owner) {
    Append(owner, U16(kDnsTypeA));
    Append(owner, {0, 1, 0, 0, 0, 60, 0, 4, 10, 0, 0, 2});
    return owner;
  };
  struct Case {
    const char* what;
    DnsBytes tail;
    std::uint16_t count;
    std::size_t want_records;
  } cases[] = {
      {"pointer to itself", {}, 2, 1},
      {"pointer outside the answer", record_with_owner({0xc0, 0xff}), 2, 1},
      {"pointer cut in half", {0xc0}, 2, 1},
      {"label running past the end", {40, 'a', 'b'}, 2, 1},
      {"counts larger than the data", {}, 65535, 1},
      {"data length past the end", {0, 0, 1, 0, 1, 0, 0, 0, 60, 0x10, 0}, 2, 1},
      {"fixed fields cut", {0, 0, 1, 0, 1}, 2, 1},
      {"address of five bytes skipped, next kept",
       [] {
         DnsBytes t{0, 0, 1, 0, 1, 0, 0, 0, 60, 0, 5, 1, 2, 3, 4, 5};
         Append(t, Record(A("b.test", "10.0.0.3")));
         return t;
       }(),
       3, 2},
      {"exchange name past its data skipped, next kept",
       [] {
         DnsBytes t{0, 0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 10, 3, 'a'};
         Append(t, {'b', 'c', 0});
         Append(t, Record(A("b.test", "10.0.0.3")));
         return t;
       }(),
       3, 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    DnsBytes a = with_first(c.count);
    if (std::string_view(c.what) == "pointer to itself") {
      std::size_t here = a.size();
      c.tail = record_with_owner({static_cast<std::uint8_t>(0xc0 | (here >> 8)),
                                  static_cast<std::uint8_t>(here & 0xff)});
    }
    Append(a, c.tail);
    DnsAnswer got = ParseDnsAnswer(a, query.size());
    ASSERT_EQ(got.records.size(), c.want_records);
    EXPECT_EQ(got.records[0].data, "10.0.0.1");
  }
}

TEST(DnsName, LoopsAndOverlongNamesAreRefused) {
  struct Case {
    const char* what;
    DnsBytes message;
    bool ok;
    std::string want;
  } cases[] = {
      {"plain", {3, 'a', 'b', 'c', 0}, true, "abc"},
      {"root", {0}, true, ""},
      {"two pointers in a ring", {0xc0, 2, 0xc0, 0}, false, ""},
      {"pointer into its own label", {1, 0xc0, 0xc0, 1}, false, ""},
      {"escaped bytes", {3, 'a', '.', 0x0a, 1, '\\', 0}, true, "a\\046\\010.\\092"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = "untouched";
    std::size_t next = 0;
    EXPECT_EQ(DecodeDnsName(c.message, 0, c.message.size(), name, next), c.ok);
    EXPECT_EQ(name, c.ok ? c.want : "untouched");
  }
  // 130 one-byte labels reached through pointers: more than 255 bytes in all.
  DnsBytes m;
  for (int i = 0; i < 130; ++i) Append(m, {1, 'x'});
  m.push_back(0);
  std::string name;
  std::size_t next = 0;
  EXPECT_FALSE(DecodeDnsName(m, 0, m.size(), name, next));
  EXPECT_TRUE(DecodeDnsName(m, 2 * 100, m.size(), name, next));
  EXPECT_EQ(next, m.size());
}

TEST(DnsAnswerParse, EveryCutOfAnAnswerGivesAPrefixOfItsRecords) {
  DnsBytes query = Query("example.test");
  Sections s;
  s.answer = {Mx("example.test", 10, "a.example.test"), Mx("example.test", 5, "b.example.test")};
  s.authority = {Soa("example.test")};
  s.additional = {A("a.example.test", "10.0.0.1")};
  DnsBytes whole = BuildAnswer(query, s);
  std::vector<DnsRecord> all = ParseDnsAnswer(whole, query.size()).records;
  ASSERT_EQ(all.size(), 4u);
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::vector<DnsRecord> got =
        ParseDnsAnswer(DnsView(whole.data(), cut), query.size()).records;
    ASSERT_LE(got.size(), all.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
  }
}

}  // namespace
}  // namespace tarnhold
