// Feeds arbitrary bytes to the routing-table search as the table, with a recipient taken from
// the input: the search must end with at most one log line per outcome (a route may add one
// about an unknown TLS word), and a route it gives must come from a line with a sound port and
// fields within their limits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transport/routing_table.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\0');
  std::string_view recipient =
      split == std::string_view::npos ? "a@b.test" : input.substr(0, split);
  std::string_view table = split == std::string_view::npos ? input : input.substr(split + 1);
  RouteSearch search = FindRoute(table, recipient);
  if (search.log.size() > (search.route ? 2u : 1u)) std::abort();
  if (search.route) {
    if (search.route->port == 0 || search.route->host.empty()) std::abort();
    if (search.route->host.size() >= kRouteFieldSize) std::abort();
    if (search.log.empty()) std::abort();
  }
  return 0;
}
