// Command-line splitting shared by every protocol: tokens separated by runs of delimiter
// characters, counted from 0, never empty. Results follow the buffer rules of their callers:
// a token that would not fit a buffer of `out_size` bytes (with its terminating zero) is
// refused, never cut.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnhold {

// The `index`-th token of `text` split at any character of `delimiters`. `out` is emptied
// first. 0: found and copied (its length is below `out_size`). 1: too few tokens, a token
// too long for `out_size`, a negative index, or an empty delimiter set.
[[nodiscard]] int GetToken(std::string_view text, std::string_view delimiters, int index,
                           std::string& out, std::size_t out_size);

// The number of tokens of `text` in the same sense (0 for an empty text).
[[nodiscard]] int CountTokens(std::string_view text, std::string_view delimiters);

// The `index`-th token (at most 59 characters) read as a decimal number the way atol reads it
// (a token that is not a number reads 0). 0: found, 1: not found (`out` is then 0).
[[nodiscard]] int GetTokenNumber(std::string_view text, std::string_view delimiters, int index,
                                 long& out);

// Removes the line end of a received line: when the second-to-last character is CR or LF the
// last two characters go, otherwise a last CR or LF goes. An empty text stays empty.
void StripLineEnd(std::string& text);

}  // namespace tarnhold
