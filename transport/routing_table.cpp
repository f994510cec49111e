#include "transport/routing_table.h"

#include <charconv>

#include "gateway/address_lists.h"
#include "platform/bounded_read.h"
#include "platform/text_case.h"
#include "transport/tokens.h"

namespace tarnhold {
namespace {

// The port field: a decimal number from 1 to 65535; blanks around it are allowed, anything
// else makes the line unusable (a port cut to 16 bits would send mail to the wrong service).
std::optional<std::uint16_t> ParsePort(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t");
  std::size_t last = text.find_last_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, last - first + 1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

struct RouteLine {
  std::string pattern;
  Route route;
  std::string unknown_tls;  // a fourth field that names no TLS choice
};

void ParseTlsField(std::string_view line, RouteLine& parsed) {
  std::string field;
  if (GetToken(line, ",", 3, field, kRouteFieldSize) != 0) return;
  std::string_view word = field;
  const std::size_t first = word.find_first_not_of(" \t");
  if (first == std::string_view::npos) return;
  word = word.substr(first, word.find_last_not_of(" \t") - first + 1);
  if (EqualsNoCase(word, "verify")) {
    parsed.route.tls = RouteTls::Verify;
  } else if (EqualsNoCase(word, "clear")) {
    parsed.route.tls = RouteTls::Clear;
  } else {
    parsed.unknown_tls = field;
  }
}

// route-line = pattern "," host "," port [ "," ( "verify" / "clear" ) ]
// (runs of "," are one separator)
std::optional<RouteLine> ParseRouteLine(std::string_view line) {
  RouteLine parsed;
  std::string port_text;
  if (GetToken(line, ",", 0, parsed.pattern, kRouteFieldSize) != 0 ||
      GetToken(line, ",", 1, parsed.route.host, kRouteFieldSize) != 0 ||
      GetToken(line, ",", 2, port_text, kRoutePortFieldSize) != 0) {
    return std::nullopt;
  }
  std::optional<std::uint16_t> port = ParsePort(port_text);
  if (!port) return std::nullopt;
  parsed.route.port = *port;
  ParseTlsField(line, parsed);
  return parsed;
}

bool IsComment(std::string_view line) { return !line.empty() && line.front() == ';'; }

// Calls `each` with every line of `table` that a LF ends, its CRs left out, until `each`
// returns false. Returns the last line when no LF ends it (the rest, if `each` stopped early).
template <class Each>
std::string ForEachEndedLine(std::string_view table, Each each) {
  std::string line;
  for (char c : table) {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!each(line)) return {};
    line.clear();
  }
  return line;
}

}  // namespace

RouteSearch FindRoute(std::string_view table, std::string_view recipient) {
  RouteSearch search;
  (void)ForEachEndedLine(table, [&](const std::string& line) {
    if (IsComment(line)) return true;
    std::optional<RouteLine> parsed = ParseRouteLine(line);
    if (!parsed) {
      search.log.push_back("ERROR: cannot parse line:" + line +
                           ", - check formatting, will use default domain routing preferences");
      return false;
    }
    if (!lists::MatchWildcard(recipient, parsed->pattern)) return true;
    if (!parsed->unknown_tls.empty()) {
      search.log.push_back("routing table: TLS field " + parsed->unknown_tls +
                           " not known, the TLS settings apply");
    }
    search.log.push_back("routing table match: will route to " + parsed->route.host + " on port " +
                         std::to_string(parsed->route.port));
    search.route = parsed->route;
    return false;
  });
  return search;  // a last line without LF is not examined
}

std::vector<std::string> UnusableRouteLines(std::string_view table) {
  std::vector<std::string> unusable;
  std::string last = ForEachEndedLine(table, [&](const std::string& line) {
    if (!IsComment(line) && !ParseRouteLine(line)) unusable.push_back(line);
    return true;
  });
  if (!last.empty()) unusable.push_back(last);
  return unusable;
}

RouteSearch FindRouteInFile(const std::filesystem::path& path, std::string_view recipient) {
  std::string table;
  switch (ReadFileBounded(path, kMaxRoutingTableBytes, table)) {
    case BoundedRead::Read:
      return FindRoute(table, recipient);
    case BoundedRead::Truncated:
      return {std::nullopt, {"critical failrue while processing " + path.string()}};
    case BoundedRead::Unreadable:
      break;
  }
  return {std::nullopt, {"failed to load the routing table information from " + path.string()}};
}

}  // namespace tarnhold
