// What a POP3 client reads from a remote server, as pure functions on received text: whether
// a reply is positive, the numbers in STAT and LIST replies, and the transparency of message
// lines (a leading dot dropped, the "." line ending the message). Reading from the socket is
// the client's; nothing here allocates more than its input.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnhold {

// Message numbers and counts above this are not believed (a server's "+OK 99999999999").
inline constexpr std::uint32_t kPop3MaxMessageNumber = 999999999;

// A reply is positive when its first character is "+"; an empty reply is not.
[[nodiscard]] bool IsPositivePop3Reply(std::string_view reply);

// stat-reply = "+OK" SP count SP size: the count (token 1 of the reply split at blanks).
// nullopt when the token is missing, is not all decimal digits, or exceeds the bound.
[[nodiscard]] std::optional<std::uint32_t> Pop3StatCount(std::string_view reply);

// list-reply = "+OK" SP msg SP size: the size in octets (token 2).
// nullopt when the token is missing or is not all decimal digits (or does not fit 63 bits).
[[nodiscard]] std::optional<std::uint64_t> Pop3ListSize(std::string_view reply);

// One piece of a multi-line reply as a line reader returns it: a whole line with its line
// end, or a part of a longer line.
struct Pop3DataPiece {
  bool end = false;        // the piece is the "." CR LF line that ends the message
  std::string_view text;   // what goes into the message (empty when `end`)
};

// Undoes the dot-stuffing of one piece. `at_line_start` says whether the piece begins a line
// (the previous piece ended with LF): only there does a leading dot mean anything. The ending
// line is exactly the three bytes "." CR LF; any other line that begins with "." loses that
// dot; everything else is kept as received.
[[nodiscard]] Pop3DataPiece UnstuffPop3Data(std::string_view piece, bool at_line_start);

}  // namespace tarnhold
