// Feeds arbitrary bytes to the DNS answer reader as the answer to a fixed query: the match
// check, the record list and name decoding at every position must stay inside the input,
// end, and keep every text within its bound.
#include <cstdint>
#include <cstdlib>

#include "transport/dns_message.h"

using namespace tarnhold;

namespace {

void CheckRecord(const DnsRecord& r) {
  if (r.owner.size() > kDnsTextMax || r.data.size() > kDnsTextMax ||
      r.data2.size() > kDnsTextMax) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DnsView answer(data, size);
  DnsBytes query;
  std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>((data[0] << 8) | data[1]) : 0;
  if (!BuildDnsQuery(id, "example.test", kDnsTypeAny, query)) std::abort();
  (void)DnsAnswerMatches(answer, query);

  for (const DnsRecord& r : ParseDnsAnswer(answer, query.size()).records) CheckRecord(r);
  for (const DnsRecord& r : ParseDnsAnswer(answer, kDnsHeaderSize).records) CheckRecord(r);

  // Names at the first positions of the input, bounded in place by the whole input.
  for (std::size_t pos = 0; pos < size && pos < 64; ++pos) {
    std::string name;
    std::size_t next = 0;
    if (DecodeDnsName(answer, pos, size, name, next)) {
      if (name.size() > kDnsTextMax || next <= pos || next > size) std::abort();
    }
  }
  return 0;
}
