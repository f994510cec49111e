#include "transport/pop3_reply.h"

#include <charconv>
#include <limits>

namespace tarnhold {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

// The `index`-th blank-separated token of `text` (empty when there are fewer).
std::string_view Token(std::string_view text, int index) {
  std::size_t at = 0;
  for (int i = 0;; ++i) {
    at = text.find_first_not_of(kBlanks, at);
    if (at == std::string_view::npos) return {};
    std::size_t end = text.find_first_of(kBlanks, at);
    if (end == std::string_view::npos) end = text.size();
    if (i == index) return text.substr(at, end - at);
    at = end;
  }
}

// The whole token as a decimal number no larger than `max`.
std::optional<std::uint64_t> Decimal(std::string_view token, std::uint64_t max) {
  if (token.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || value > max) return std::nullopt;
  return value;
}

}  // namespace

bool IsPositivePop3Reply(std::string_view reply) { return !reply.empty() && reply[0] == '+'; }

std::optional<std::uint32_t> Pop3StatCount(std::string_view reply) {
  auto count = Decimal(Token(reply, 1), kPop3MaxMessageNumber);
  if (!count) return std::nullopt;
  return static_cast<std::uint32_t>(*count);
}

std::optional<std::uint64_t> Pop3ListSize(std::string_view reply) {
  return Decimal(Token(reply, 2), static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
}

Pop3DataPiece UnstuffPop3Data(std::string_view piece, bool at_line_start) {
  if (!at_line_start || piece.empty() || piece[0] != '.') return {false, piece};
  if (piece == ".\r\n") return {true, {}};
  return {false, piece.substr(1)};
}

}  // namespace tarnhold
