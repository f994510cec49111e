// Fuzz target for the rule list files and the matching against their entries: the first line
// of the input is the address, the rest the list text. Also the comma lists of the checks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gateway/address_lists.h"
#include "sweeper/content_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t cut = input.find('\n');
  std::string_view address = input.substr(0, cut);
  std::string_view list = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  for (const auto& entry : tarnhold::lists::ParseRuleList(list)) {
    (void)tarnhold::lists::MatchWildcard(address, entry);
  }
  (void)tarnhold::MatchKeywordList(list, address);
  (void)tarnhold::SplitCommaList(list);
  return 0;
}
