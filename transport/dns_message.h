// DNS wire format: the one query message the resolver sends and the reading of an answer
// into records. No sockets here. An answer is hostile input: every read is bounded by the
// answer's size, a name that loops or points outside the answer is refused, and a record
// whose data run past the end ends the list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypeNs = 2;
inline constexpr std::uint16_t kDnsTypeCname = 5;
inline constexpr std::uint16_t kDnsTypeSoa = 6;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeHinfo = 13;
inline constexpr std::uint16_t kDnsTypeMinfo = 14;
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeAny = 255;

// The most characters any text field of a record holds.
inline constexpr std::size_t kDnsTextMax = 260;
// Offset of the question in every message (after the 12-byte header).
inline constexpr std::size_t kDnsHeaderSize = 12;

// One resource record of an answer.
struct DnsRecord {
  std::string owner;
  std::uint16_t type = 0;
  std::uint16_t preference = 0;           // MX only
  std::uint32_t ttl = 0;
  std::array<std::uint32_t, 5> soa{};     // serial, refresh, retry, expire, minimum
  std::string data;   // A: dotted address; MX: exchange; SOA: primary server; HINFO: first
                      // string; MINFO: responsible mailbox; every other type: one name
  std::string data2;  // SOA: mailbox; HINFO: second string; MINFO: error mailbox
  bool operator==(const DnsRecord&) const = default;
};

using DnsBytes = std::vector<std::uint8_t>;
using DnsView = std::span<const std::uint8_t>;

// Builds the query: identifier, flags 0x01 0x00 (recursion desired), one question, the name
// as labels, `type`, class 1. False (and `message` untouched) for a name that has no
// wire form: empty, an empty label, a label over 63 bytes or more than 255 bytes in all.
// One trailing dot is accepted and dropped.
[[nodiscard]] bool BuildDnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type,
                                 DnsBytes& message);

// The message preceded by its length as two big-endian bytes, as sent over TCP.
[[nodiscard]] DnsBytes FrameDnsTcp(DnsView message);

// True when `answer` answers `query`: same identifier, the response bit set, one question
// whose name (letter case aside), type and class equal the query's. Records of such an
// answer start where the query ends.
[[nodiscard]] bool DnsAnswerMatches(DnsView answer, DnsView query);

// Decodes the name at `pos`: labels joined by ".", compression pointers followed (a byte of
// 64 or more starts one; its low 14 bits with the next byte give the position). Bytes of the
// name as it lies in place must be before `in_place_end`; pointers may lead anywhere in
// `message`. `next` gets the position after the in-place part (after the first pointer).
// Label bytes outside printable ASCII, and "." or "\" inside a label, are written "\DDD".
// False for a name that runs past its bounds, loops, exceeds 255 bytes or kDnsTextMax.
[[nodiscard]] bool DecodeDnsName(DnsView message, std::size_t pos, std::size_t in_place_end,
                                 std::string& name, std::size_t& next);

struct DnsAnswer {
  bool authoritative = false;  // the AA bit
  std::vector<DnsRecord> records;
};

// Reads the answer, authority and additional sections as one list, starting at `start` (the
// end of the question). Reading ends at the first record whose owner name or fixed fields are
// broken or whose data run past the end, and when the counts are used up; a record whose data
// cannot be decoded for its type is skipped. Never reads outside `answer`.
[[nodiscard]] DnsAnswer ParseDnsAnswer(DnsView answer, std::size_t start);

}  // namespace tarnhold
