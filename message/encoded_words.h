// The two ways a header names text outside ASCII, decoded into UTF-8 as a mail client shows
// it: RFC 2047 encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") in any header text,
// and RFC 2231 parameter values ("name*=charset'lang'%xx", continued as "name*0*=",
// "name*1*=" ...). Malformed pieces stay as they are written; nothing here grows a text by
// more than the charset conversion does (charset_text.h).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnhold {

// Decodes every well-formed encoded word in `text`. White space between two adjacent
// encoded words is dropped; the bytes of adjacent words in one charset are joined before
// they are converted (a character split across two words survives), and a B word that
// stops inside a base64 group is carried on by the next one.
[[nodiscard]] std::string DecodeEncodedWords(std::string_view text);

// One parameter as written: its name lower-cased ("filename*0*") and its value (quotes
// removed).
struct MimeParameter {
  std::string name;
  std::string value;
};

// The value of parameter `attribute` (lower-case): the RFC 2231 form when one is present
// (a single "attribute*" or the sections "attribute*N" / "attribute*N*" joined in number
// order, percent escapes decoded, the charset of section 0 applied), else the plain
// "attribute" value with its encoded words decoded. Empty when the parameter is absent.
[[nodiscard]] std::string ResolveParameter(const std::vector<MimeParameter>& parameters,
                                           std::string_view attribute);

}  // namespace tarnhold
