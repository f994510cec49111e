// ASCII letter case: the one lower-casing and the case-blind comparisons every module uses.
// Only A-Z and a-z fold (the "C" locale every program runs in); other bytes compare as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnhold {

[[nodiscard]] std::string ToLower(std::string_view text);
[[nodiscard]] std::string ToUpper(std::string_view text);
// Lower-cases `size` bytes at `data` in place (a buffer read from a file).
void ToLowerInPlace(char* data, std::size_t size);
// Case-insensitive ASCII comparison used for section, key, name and address look-ups.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace tarnhold
