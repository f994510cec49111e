// Feeds arbitrary bytes to the relay networks parser line by line, and judges a recipient taken
// from the input against the networks found: a parsed network has no host bits beyond its
// prefix and a prefix mask, and the judgement of a loopback client never denies.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/relay_guard.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  RelayPolicy policy;
  policy.local_domains = {"local.test"};
  std::string_view recipient = "a@far.test";
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    if (auto network = ParseIpv4Network(line)) {
      const std::uint32_t mask = network->mask;
      if ((network->address & ~mask) != 0) std::abort();
      if ((~mask & (~mask + 1)) != 0) std::abort();  // not of the form 1...10...0
      policy.networks.push_back(*network);
    } else if (line.find('@') != std::string_view::npos) {
      recipient = line;
    }
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  for (const Ipv4Network& network : policy.networks) {
    if (policy.Judge(network.address, recipient) == RelayDecision::Denied) std::abort();
  }
  if (policy.Judge(0x7f000001, recipient) == RelayDecision::Denied) std::abort();
  return 0;
}
