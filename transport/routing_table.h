// The SMTP routing table: a text file of "pattern,host,port" lines that sends the mail of
// matching recipients to a given host; an optional fourth field sets the route's TLS.
// Readers that know only three fields ignore the fourth. Reading the table never fails the delivery: a table
// that cannot be read or a line that cannot be parsed only disables the table for this item,
// and the default routing applies. The caller writes the returned lines to the delivery log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

// A table larger than this is not used (the routing of this item falls back to the defaults).
inline constexpr std::size_t kMaxRoutingTableBytes = 4u << 20;
// Field limits: pattern and host fewer than 255 characters, the port fewer than 10.
inline constexpr std::size_t kRouteFieldSize = 255;
inline constexpr std::size_t kRoutePortFieldSize = 10;

// A route's own TLS choice, from the optional fourth field of its line.
enum class RouteTls {
  Default,  // no fourth field: the delivery's TLS settings apply
  Verify,   // "verify": STARTTLS required, the host's certificate verified
  Clear,    // "clear": never STARTTLS towards this host
};

struct Route {
  std::string host;
  std::uint16_t port = 0;
  RouteTls tls = RouteTls::Default;
  bool operator==(const Route&) const = default;
};

struct RouteSearch {
  std::optional<Route> route;       // the first matching line's host and port
  std::vector<std::string> log;     // delivery log lines, in order
};

// Looks `recipient` up in the table text. Lines end at LF (a last line without one is not
// examined) and CR characters are ignored; a line beginning with ";" is a comment. A route
// line holds pattern, host and port separated by "," (runs of commas are one separator,
// blanks belong to the fields); the pattern is matched against the whole recipient address
// with MatchWildcard. The first matching line wins. A line that does not give all three
// fields, or whose port is not a number from 1 to 65535, ends the search with an error line;
// an empty line counts as such a line. A fourth field other than "verify" or "clear" (any
// letter case, blanks around it allowed) is ignored with a log line.
[[nodiscard]] RouteSearch FindRoute(std::string_view table, std::string_view recipient);

// The lines of the table text that FindRoute would stop at (an empty line included), in
// order; a last line without LF, which FindRoute never examines, is listed too.
[[nodiscard]] std::vector<std::string> UnusableRouteLines(std::string_view table);

// The same for the table file `path`; an unreadable or oversized file gives no route and one
// log line naming it.
[[nodiscard]] RouteSearch FindRouteInFile(const std::filesystem::path& path,
                                          std::string_view recipient);

}  // namespace tarnhold
