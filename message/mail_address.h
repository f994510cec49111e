// Addresses in header values and envelope fields.
#pragma once

#include <string>
#include <string_view>

namespace tarnhold {

// The address in a header value: the text between "<" and the next ">" when there is a
// "<" (to the end when no ">" follows), then leading blanks removed and everything from
// the first blank on cut.
[[nodiscard]] std::string ExtractAddress(std::string_view text);

// The text after the first "@" of `address`, or the whole text when there is none.
[[nodiscard]] std::string DomainOf(std::string_view address);

}  // namespace tarnhold
